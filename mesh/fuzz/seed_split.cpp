// Writes the "input" text of every row of JSON-lines case tables into a directory,
// one file per row (named by table and line), to seed the fuzz corpora.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "json/read.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: seed_split OUT_DIR TABLE.jsonl...\n";
        return 2;
    }
    const std::string out_dir = argv[1];
    int written = 0;
    for (int a = 2; a < argc; ++a) {
        std::ifstream in(argv[a]);
        if (!in) {
            std::cerr << "seed_split: cannot open " << argv[a] << "\n";
            return 1;
        }
        std::string table = argv[a];
        table = table.substr(table.find_last_of('/') + 1);
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            if (line.empty()) continue;
            auto row = korvo::json::read(line);
            if (!row) {
                std::cerr << argv[a] << ":" << n << ": " << row.error().message() << "\n";
                return 1;
            }
            const korvo::json::Value* input = row->find("input");
            if (input == nullptr || input->type() != korvo::json::Value::Type::String) continue;
            std::ofstream out(out_dir + "/" + table + "-" + std::to_string(n), std::ios::binary);
            out << input->as_string();
            ++written;
        }
    }
    std::cout << written << "\n";
    return 0;
}
