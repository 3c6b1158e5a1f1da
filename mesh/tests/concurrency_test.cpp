// Each component shared by eight threads at once, every thread mixing changes and reads on names
// it owns and on names all of them fight over. Under ThreadSanitizer (make test-tsan) an access
// the component's lock does not guard is reported as it happens; in every build, what the threads
// read along the way and what is left once they are joined must add up: a lost update, a torn
// text or a listing out of step with the table shows as a finding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "base/clock.h"
#include "channel.h"
#include "health.h"
#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"
#include "migration.h"
#include "registry.h"
#include "state.h"
#include "support/records.h"

namespace korvo {
namespace {

constexpr int kThreads = 8;

// Rounds per thread. Valgrind runs one thread at a time, and slowly: a tenth is enough there.
int rounds(int n) {
#ifdef RUNNING_ON_VALGRIND
    if (RUNNING_ON_VALGRIND) return n / 10;
#endif
    return n;
}

using Found = std::vector<std::string>;

// Runs body(t, found) on kThreads threads released together; once all are joined, returns what
// they put in their `found` (each thread has its own, so reporting needs no lock).
template <class Body>
Found run_threads(Body body) {
    std::array<Found, kThreads> found;
    {
        std::latch start(kThreads);
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                body(t, found[t]);
            });
        }
    }
    Found all;
    for (auto& f : found) all.insert(all.end(), f.begin(), f.end());
    return all;
}

void note(Found& found, bool ok, const std::string& what) {
    if (!ok && found.size() < 10) found.push_back(what);
}

std::string num(std::uint64_t n) { return std::to_string(n); }

using test::uint_at;
using test::text_at;

bool is_sorted_unique(const std::vector<std::string>& v) {
    return std::adjacent_find(v.begin(), v.end(), std::greater_equal<>()) == v.end();
}

// ---- state store -------------------------------------------------------------------------------
// Each thread keeps a window of its own keys alive (set the newest, delete the oldest), so the
// sorted key index takes adds and deletes all the time and folds them while others list it;
// eight shared keys are set and deleted by everyone.

constexpr int kKeyWindow = 16;

std::string own_key(int t, int i) {
    std::string k = "o" + num(t) + "/" + num(i);
    if (i % 3 == 0) k += "/long-enough-to-be-copied-outside-the-lock";
    return k;
}
std::string own_value(int t, int i) { return "{\"i\":" + num(i) + ",\"t\":" + num(t) + "}"; }

// A shared key's value: who wrote it and in which round, with a pad whose length and letter
// follow from both, so any mix of two writes is told apart from every written text.
std::string shared_value(std::uint64_t by, std::uint64_t n) {
    return "{\"by\":" + num(by) + ",\"n\":" + num(n) + ",\"pad\":\"" +
           std::string(20 + by * 7 + n % 13, static_cast<char>('a' + by)) + "\"}";
}
bool is_written_shared(std::string_view text) {
    const auto v = json::read(text);
    return v && uint_at(*v, "by") < kThreads && shared_value(uint_at(*v, "by"), uint_at(*v, "n")) == text;
}

// The own keys of thread t after round `last`, sorted: the newest `count`.
std::vector<std::string> own_window(int t, int last, int count = kKeyWindow) {
    std::vector<std::string> keys;
    for (int i = std::max(0, last - count + 1); i <= last; ++i) keys.push_back(own_key(t, i));
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST(Concurrency, StateStore) {
    const InMemoryStateStore store;
    const int n = rounds(3000);
    const auto shared_key = [](int i) { return "s/" + num(static_cast<std::uint64_t>(i % 8)); };

    const Found findings = run_threads([&](int t, Found& found) {
        const std::string prefix = "o" + num(t) + "/";
        Found listing = own_window(t, 0);
        for (int i = 0; i < n; ++i) {
            const std::string key = own_key(t, i);
            if (i % 2 == 0) {
                note(found, store.set_text(key, "{ \"t\": " + num(t) + ", \"i\": " + num(i) + " }").has_value(), key);
            } else {
                auto v = json::read(own_value(t, i));
                note(found, store.set(key, std::move(*v)).has_value(), key);
            }
            note(found, store.keys_with_prefix(prefix).value_or(Found{}) == listing, "own listing in round " + num(i));
            const std::string skey = shared_key(i * 7 + t);
            if (i % 4 == 0) {
                note(found, store.remove(skey).has_value(), "remove " + skey);
            } else {
                note(found, store.set_text(skey, shared_value(t, i)).has_value(), "set " + skey);
            }
            std::string text;
            (void)store.get_text(shared_key(i + 3), text);
            const auto held = store.get_stored(shared_key(i + 5));

            const std::string old = own_key(t, i - kKeyWindow);
            if (i >= kKeyWindow) note(found, store.remove(old).has_value(), "remove " + old);
            // The checks that need no lock come between a delete and the next call: a delete that
            // touched the key's count outside its section would meet another thread's fold here.
            note(found, text.empty() || is_written_shared(text), text);
            if (held && *held) note(found, is_written_shared((*held)->text()), std::string((*held)->text()));
            listing = own_window(t, i + 1, kKeyWindow + 1);
            note(found, store.exists(key).value_or(false) && !store.exists(old).value_or(true), "exists " + key);
            if (i % 64 == 0) {
                const auto all = store.keys_with_prefix("").value_or(Found{});
                note(found, is_sorted_unique(all), "full listing out of order");
                const auto mine = own_window(t, i);
                note(found, std::includes(all.begin(), all.end(), mine.begin(), mine.end()),
                     "full listing lacks own keys");
                const auto shared = store.keys_with_prefix("s/").value_or(Found{"?"});
                note(found, is_sorted_unique(shared) && shared.size() <= 8, "shared listing");
            }
        }
    });
    EXPECT_EQ(findings, Found{});

    Found expected;
    for (int t = 0; t < kThreads; ++t) {
        for (const auto& key : own_window(t, n - 1)) {
            expected.push_back(key);
            std::string text;
            EXPECT_TRUE(store.get_text(key, text).value_or(false)) << key;
            const int i = std::stoi(key.substr(key.find('/') + 1));
            EXPECT_EQ(text, own_value(t, i)) << key;
        }
    }
    for (int s = 0; s < 8; ++s) {
        std::string text;
        if (!store.get_text(shared_key(s), text).value_or(false)) continue;
        expected.push_back(shared_key(s));
        EXPECT_TRUE(is_written_shared(text)) << text;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(store.keys_with_prefix("").value_or(Found{}), expected);
    EXPECT_EQ(store.len(), expected.size());
}

// ---- registry ----------------------------------------------------------------------------------
// Own agents in a window (registered, some taken back at once, routed, some made idle,
// deregistered), and four shared ids that every thread registers, routes, stops and deregisters.

constexpr int kAgentWindow = 8;

// The agents a listing holds.
json::Array listed_agents(const AgentRegistry& reg, std::optional<std::string_view> type,
                          std::optional<std::string_view> status) {
    std::string out;
    if (!reg.list_json(type, status, out)) return {};
    const json::Value v = test::parsed(out);
    return v.type() == json::Value::Type::Array ? v.as_array() : json::Array{};
}

// The agent's record, read back; null when absent.
json::Value agent_record(const AgentRegistry& reg, std::string_view id) {
    std::string out;
    return reg.get_json(id, out).value_or(false) ? test::parsed(out) : json::Value();
}

std::string agent_id(int t, int i) { return "a" + num(t) + "-" + num(i); }
AgentStatus own_status(int i) { return i % 3 == 1 ? AgentStatus::Idle : AgentStatus::Running; }

// What is wrong with a record read back, or nothing.
std::string bad_agent(std::string_view text) {
    const auto v = json::read(text);
    if (!v) return "unreadable record: " + std::string(text);
    const std::string id = text_at(*v, "agent_id"), type = text_at(*v, "agent_type");
    if (!status_from_name(text_at(*v, "status"))) return "bad status: " + std::string(text);
    const json::Value* meta = v->find("metadata");
    if (!meta) return "no metadata: " + std::string(text);
    if (type == "Shared" && uint_at(*meta, "by") < kThreads) return {};
    if (type == "Own" && id == agent_id(static_cast<int>(uint_at(*meta, "t")), static_cast<int>(uint_at(*meta, "i")))) {
        return {};
    }
    return "record mixes writers: " + std::string(text);
}

TEST(Concurrency, Registry) {
    AgentRegistry reg;
    const int n = rounds(2000);

    const Found findings = run_threads([&](int t, Found& found) {
        for (int i = 0; i < n; ++i) {
            const std::string id = agent_id(t, i);
            const std::string meta = "{\"t\": " + num(t) + ", \"i\": " + num(i) + "}";
            if (i % 8 == 5) {  // a registration taken back leaves nothing behind
                std::string made;
                const auto done = reg.register_agent_json("Own", id, t, meta, made);
                if (done) reg.undo(id, *done);
                note(found, done && agent_record(reg, id).is_null(), "undo left " + id);
            }
            {
                std::string out;
                note(found, reg.register_agent_json("Own", id, t, meta, out).has_value(), "register " + id);
                note(found, bad_agent(out).empty(), bad_agent(out));
            }
            note(found, reg.route("Own", id).has_value(), "route " + id);
            if (own_status(i) == AgentStatus::Idle) note(found, reg.update_status(id, AgentStatus::Idle).has_value(), id);
            if (i >= kAgentWindow) note(found, reg.deregister(agent_id(t, i - kAgentWindow)).has_value(), "deregister");
            std::string out;
            note(found, reg.get_json(id, out).value_or(false), "own agent missing: " + id);
            note(found, bad_agent(out).empty(), bad_agent(out));
            note(found, out.find(std::string("\"status\":\"") + std::string(status_name(own_status(i))) + "\"") !=
                            std::string::npos,
                 "own agent status: " + out);

            const std::string sid = "shared-" + num(static_cast<std::uint64_t>((i + t) % 4));
            switch (i % 4) {
                case 0: {
                    std::string made;
                    auto r = reg.register_agent_json("Shared", sid, 0, "{\"by\":" + num(t) + "}", made);
                    note(found, r || r.error().kind() == MeshError::Kind::AgentAlreadyRegistered, "register " + sid);
                    break;
                }
                case 1: {
                    auto r = reg.route("Shared", sid);
                    note(found, r || r.error().kind() == MeshError::Kind::AgentNotFound, "route " + sid);
                    break;
                }
                case 2: (void)reg.update_status(sid, AgentStatus::Stopped); break;
                default: note(found, reg.deregister(sid).has_value(), "deregister " + sid);
            }
            const auto c = reg.counts();
            std::size_t sum = 0;
            for (auto k : c.by_status) sum += k;
            note(found, sum == c.total, "status counts do not add up to the total");
            if (i % 32 == 0) {
                std::string listed;
                note(found, reg.list_json(std::nullopt, std::nullopt, listed).has_value(), "list");
                const auto all = json::read(listed);
                note(found, all && all->type() == json::Value::Type::Array, "list unreadable");
                if (all && all->type() == json::Value::Type::Array) {
                    for (const auto& rec : all->as_array()) note(found, bad_agent(json::to_text(rec)).empty(), "listed");
                }
                for (const auto& e : listed_agents(reg, "Own", "idle")) {
                    note(found, text_at(e, "status") == "idle" && text_at(e, "agent_type") == "Own", "filtered list");
                }
            }
        }
    });
    EXPECT_EQ(findings, Found{});

    std::size_t own_idle = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = n - kAgentWindow; i < n; ++i) {
            const json::Value e = agent_record(reg, agent_id(t, i));
            EXPECT_EQ(text_at(e, "status"), status_name(own_status(i))) << agent_id(t, i);
            own_idle += own_status(i) == AgentStatus::Idle;
        }
    }
    EXPECT_EQ(listed_agents(reg, "Own", std::nullopt).size(), std::size_t{kThreads * kAgentWindow});
    EXPECT_EQ(reg.count(), listed_agents(reg, std::nullopt, std::nullopt).size());
    const auto counts = reg.counts();
    EXPECT_EQ(counts.by_status[static_cast<std::size_t>(AgentStatus::Idle)], own_idle);
    for (std::size_t s = 0; s < kAgentStatusCount; ++s) {
        const std::string_view name = status_name(static_cast<AgentStatus>(s));
        EXPECT_EQ(counts.by_status[s], listed_agents(reg, std::nullopt, name).size()) << name;
    }
}

// A listing of more agents than one of its slices covers, taken over and over while another
// thread goes through steps of its own in order (make one agent idle, deregister another,
// register a new one): each listing must show the registry at one moment between two changes.
TEST(Concurrency, RegistryListingIsOneMoment) {
    AgentRegistry reg;
    const int agents = 10000, steps = rounds(3000);
    const auto id = [](char kind, int i) { return std::string(1, kind) + num(static_cast<std::uint64_t>(i)); };
    for (int i = 0; i < agents; ++i) {
        std::string out;
        ASSERT_TRUE(reg.register_agent_json("Old", id('a', i), 0, std::nullopt, out).has_value());
        out.clear();
        ASSERT_TRUE(reg.register_agent_json("Old", id('d', i), 0, std::nullopt, out).has_value());
    }
    std::atomic<bool> writing{true};
    std::jthread writer([&] {
        for (int i = 0; i < steps; ++i) {  // from the last registered on: where listings come last
            (void)reg.update_status(id('a', agents - 1 - i), AgentStatus::Idle);
            (void)reg.deregister(id('d', agents - 1 - i));
            std::string out;
            (void)reg.register_agent_json("New", id('n', i), 0, std::nullopt, out);
        }
        writing = false;
    });
    Found found;
    int listings = 0;
    while (writing || listings == 0) {
        std::string out;
        note(found, reg.list_json(std::nullopt, std::nullopt, out).has_value(), "listing failed");
        const json::Value v = test::parsed(out);
        std::size_t idle = 0, gone = agents, added = 0, total = 0;
        for (const json::Value& a : v.as_array()) {
            ++total;
            const std::string name = text_at(a, "agent_id");
            if (name[0] == 'a' && text_at(a, "status") == "idle") ++idle;
            if (name[0] == 'd') --gone;
            if (name[0] == 'n') ++added;
        }
        // After whole steps all three counts agree; inside one, the earlier changes lead by one.
        const bool moment = (idle == gone && gone == added) || (idle == gone + 1 && gone == added) ||
                            (idle == gone && gone == added + 1);
        note(found, moment && total == 2 * agents - gone + added,
             "listing mixes moments: idle " + num(idle) + ", gone " + num(gone) + ", added " + num(added));
        ++listings;
    }
    EXPECT_EQ(found, Found{});
    EXPECT_GT(listings, 0);
}

// The same for migrations: another thread advances the last started ones and starts new ones.
TEST(Concurrency, MigrationListingIsOneMoment) {
    MigrationController ctl("app");
    const int records = 10000, steps = rounds(3000);
    const auto name = [](char kind, int i) { return std::string(1, kind) + num(static_cast<std::uint64_t>(i)); };
    for (int i = 0; i < records; ++i) {
        std::string out;
        ASSERT_TRUE(ctl.start_json(name('m', i), "a", "b", out).has_value());
    }
    std::atomic<bool> writing{true};
    std::jthread writer([&] {
        for (int i = 0; i < steps; ++i) {
            std::string out;
            (void)ctl.advance_json(name('m', records - 1 - i), 0, 0, out);
            (void)ctl.start_json(name('n', i), "a", "b", out);
        }
        writing = false;
    });
    Found found;
    int listings = 0;
    while (writing || listings == 0) {
        std::string out;
        note(found, ctl.list_json(out).has_value(), "listing failed");
        std::size_t advanced = 0, added = 0, total = 0;
        const json::Value listed = test::parsed(out);
        for (const json::Value& m : listed.as_array()) {
            ++total;
            if (text_at(m, "variable_name")[0] == 'n') ++added;
            if (uint_at(m, "stage") == 2) ++advanced;
        }
        note(found, (advanced == added || advanced == added + 1) && total == records + added,
             "listing mixes moments: advanced " + num(advanced) + ", added " + num(added));
        ++listings;
    }
    EXPECT_EQ(found, Found{});
}

// ---- migrations --------------------------------------------------------------------------------
// Each thread walks its own variable (starts, advances, rolls back) knowing every stage it must
// see; all of them advance one shared variable, restarting it once it completes. Every advance
// adds one to both counts, so a record's counts always equal its stage less one, and each stage
// of each run of the shared variable is reached by exactly one advance.

TEST(Concurrency, Migrations) {
    MigrationController mc("app");
    const int n = rounds(1500);
    const std::string shared = "shared.var";
    std::array<std::array<int, kStageNames.size()>, kThreads> reached{};
    std::array<int, kThreads> started{};
    std::array<std::uint8_t, kThreads> own_stage{};

    const Found findings = run_threads([&](int t, Found& found) {
        const std::string own = "v" + num(t);
        bool begun = false;
        std::uint8_t stage = 0;
        std::uint64_t keys = 0;
        for (int i = 0; i < n; ++i) {
            std::string text;
            Result<MigrationChange> r = fail(MeshError::migration(""));
            if (!begun || stage == kStageDone) {
                r = mc.start_json(own, "sqlite", "redis", text);
                begun = true;
                stage = 1;
                keys = 0;
            } else if (i % 5 == 3 && stage > 0) {
                r = mc.rollback_json(own, text);
                --stage;
            } else {
                r = mc.advance_json(own, 0, 1, text);
                ++stage;
                ++keys;
            }
            const json::Value rec = test::parsed(text);
            note(found,
                 r && uint_at(rec, "stage") == stage && text_at(rec, "stage_name") == stage_name(stage) &&
                     uint_at(rec, "keys_migrated") == keys,
                 own + " expected stage " + num(stage) + ", got " + (r ? text : r.error().message()));

            std::string adv_text;
            if (mc.advance_json(shared, 1, 1, adv_text)) {
                const json::Value adv = test::parsed(adv_text);
                const std::uint64_t at = uint_at(adv, "stage");
                if (at < kStageNames.size()) ++reached[t][at];
                note(found, uint_at(adv, "keys_migrated") == at - 1 && uint_at(adv, "discrepancy_count") == at - 1,
                     "lost update: " + adv_text);
            } else if (std::string s_text; auto s = mc.start_json(shared, "a", "b", s_text)) {
                ++started[t];
                const json::Value fresh = test::parsed(s_text);
                note(found, uint_at(fresh, "stage") == 1 && uint_at(fresh, "keys_migrated") == 0, "start: " + s_text);
            } else {
                note(found, s.error().first().find("already in progress") != std::string::npos, s.error().message());
            }
            if (i % 16 == 0) {
                std::string out;
                note(found, mc.list_json(out).has_value(), "list");
                const auto all = json::read(out);
                note(found, all && all->type() == json::Value::Type::Array, "list unreadable: " + out);
                for (const auto& rec : all ? all->as_array() : json::Array{}) {
                    const auto st = uint_at(rec, "stage");
                    note(found, st < kStageNames.size() && text_at(rec, "stage_name") == stage_name(static_cast<std::uint8_t>(st)), "listed");
                    if (text_at(rec, "variable_name") == shared) {
                        note(found, uint_at(rec, "keys_migrated") == st - 1, "torn: " + json::to_text(rec));
                    }
                }
                note(found, mc.count_active() <= kThreads + 1, "more active than variables");
            }
        }
        own_stage[t] = stage;
    });
    EXPECT_EQ(findings, Found{});

    const auto stage_of = [&](std::string_view name) {
        std::string out;
        return mc.get_json(name, out).value_or(false) ? uint_at(test::parsed(out), "stage") : UINT64_MAX;
    };
    const std::uint64_t last = stage_of(shared);
    ASSERT_LE(last, kStageDone);
    int runs = 0;
    for (int s : started) runs += s;
    for (std::size_t stage = 2; stage < kStageNames.size(); ++stage) {
        int hits = 0;
        for (const auto& r : reached) hits += r[stage];
        EXPECT_EQ(hits, runs - (last < stage ? 1 : 0)) << "stage " << stage;
    }
    std::size_t active = last < kStageDone;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(stage_of("v" + num(t)), own_stage[t]);
        active += own_stage[t] < kStageDone;
    }
    EXPECT_EQ(mc.count_active(), active);
}

// ---- channel ----------------------------------------------------------------------------------
// Topics created by racing first publishes: each one is made once.

TEST(Concurrency, Channel) {
    const int n = rounds(2000);
    const MeshChannel channel;
    const Found findings = run_threads([&](int t, Found& found) {
        for (int i = 0; i < n; ++i) {
            const std::string payload = "{\"i\":" + num(static_cast<std::uint64_t>(i)) + ",\"t\":" + num(static_cast<std::uint64_t>(t)) + "}";
            const std::string topic = i % 2 ? "own/" + num(t) : "shared/" + num(static_cast<std::uint64_t>(i / 2 % 32));
            note(found, channel.publish(topic, payload) == Result<std::size_t>(0), "publish " + topic);
            note(found, channel.topic_count() <= kThreads + 32, "too many topics");
        }
    });
    EXPECT_EQ(findings, Found{});
    EXPECT_EQ(channel.topic_count(), std::size_t{kThreads + 32});
}

// ---- health ------------------------------------------------------------------------------------
// All four components changed at once while the views read them; once the threads are joined,
// the snapshot agrees with each component and with what the threads did.

TEST(Concurrency, Health) {
    AgentRegistry reg;
    const InMemoryStateStore store;
    MigrationController mc("app");
    const MeshChannel channel;
    const int n = rounds(800);
    constexpr int kWindow = 4;

    const Found findings = run_threads([&](int t, Found& found) {
        for (int i = 0; i < n; ++i) {
            const std::string name = "h" + num(t) + "-" + num(i);
            std::string out;
            note(found, reg.register_agent_json("T", name, 0, std::nullopt, out).has_value(), name);
            note(found, reg.update_status(name, static_cast<AgentStatus>(i % 3 + 1)).has_value(), name);
            note(found, store.set_text(name, "[" + num(i) + "]").has_value(), name);
            note(found, mc.start_json(name, "a", "b", out).has_value(), name);
            if (i % 2 == 0) {
                for (int s = 1; s < kStageDone; ++s) note(found, mc.advance_json(name, 0, 0, out).has_value(), name);
            }
            note(found, channel.publish("h" + num(t), "null").has_value(), name);
            if (i >= kWindow) {
                const std::string old = "h" + num(t) + "-" + num(i - kWindow);
                note(found, reg.deregister(old).has_value() && store.remove(old).has_value(), old);
            }
            const HealthCounts c = read_health(reg, store, mc, channel);
            note(found, c.agents_running + c.agents_idle + c.agents_error <= c.agents_total && !c.degraded,
                 "health counts");
            std::string text;
            write_health_json("app", c, text);
            note(found, json::check(text).has_value(), text);
        }
    });
    EXPECT_EQ(findings, Found{});

    const HealthCounts c = read_health(reg, store, mc, channel);
    EXPECT_EQ(c.agents_total, reg.count());
    EXPECT_EQ(c.agents_total, std::size_t{kThreads * kWindow});
    std::array<std::size_t, 3> by{};  // running, idle, stopping: i % 3 + 1 for the last rounds
    for (int i = n - kWindow; i < n; ++i) by[i % 3] += kThreads;
    EXPECT_EQ(c.agents_running, by[0]);
    EXPECT_EQ(c.agents_idle, by[1]);
    EXPECT_EQ(c.agents_error, 0u);
    EXPECT_EQ(reg.counts().by_status[static_cast<std::size_t>(AgentStatus::Stopping)], by[2]);
    EXPECT_EQ(c.state_keys, store.len());
    EXPECT_EQ(c.state_keys, std::size_t{kThreads * kWindow});
    EXPECT_EQ(c.active_migrations, mc.count_active());
    EXPECT_EQ(c.active_migrations, std::size_t(kThreads) * static_cast<std::size_t>(n / 2));
    EXPECT_EQ(c.topics, std::size_t{kThreads});
    const HealthCounts summary = read_summary_counts(reg, store, mc);
    EXPECT_EQ(summary.agents_total, c.agents_total);
    EXPECT_EQ(summary.state_keys, c.state_keys);
    EXPECT_EQ(summary.active_migrations, c.active_migrations);
}

// ---- per-thread scratch ------------------------------------------------------------------------
// The JSON reader and canonical writer keep scratch buffers per thread, and timestamps keep the
// last second formatted per thread: each thread gets the answers this thread got alone, for
// documents large enough to make the scratch grow and be given back, and readings in many seconds.

TEST(Concurrency, PerThreadScratch) {
    std::string wide = "{";  // more names than the canonical writer keeps between documents
    for (int m = 1099; m >= 0; --m) wide += "\"k" + num(static_cast<std::uint64_t>(m)) + "\":" + num(m) + (m ? "," : "}");
    const std::vector<std::string> inputs = {
        R"({"b": [1, 2.50, {"z": null, "a": "\u00e9\n"}], "a": true})",
        R"([1e2, -0, "x\ty", {}, [], -12, 1.25e-7])",
        wide,
        R"({"a": 1,})",
        std::string(200, '[') + std::string(200, ']'),
    };
    std::vector<std::string> canonical;
    for (const auto& in : inputs) {
        std::string out;
        auto done = json::canonicalize(in, out);
        canonical.push_back(done ? out : "error: " + done.error().message());
    }
    std::vector<TimePoint> times;
    std::vector<std::string> stamps;
    for (int k = 0; k < 40; ++k) {
        times.emplace_back(std::chrono::seconds(1'700'000'000 + 86'399 * (k % 7) + k) +
                           std::chrono::nanoseconds(k % 4 == 0 ? 0 : 1'000 * k + (k % 3) * 7));
        stamps.push_back(format_timestamp(times.back()));
    }
    const int n = rounds(150);

    const Found findings = run_threads([&](int t, Found& found) {
        for (int i = 0; i < n; ++i) {
            const std::size_t d = static_cast<std::size_t>(i * 5 + t) % inputs.size();
            std::string out;
            auto done = json::canonicalize(inputs[d], out);
            note(found, (done ? out : "error: " + done.error().message()) == canonical[d], "canonical " + num(d));
            if (auto tree = json::read(inputs[d])) note(found, json::to_text(*tree) == canonical[d], "read " + num(d));
            for (int k = 0; k < 8; ++k) {
                const std::size_t s = static_cast<std::size_t>(i * 3 + t + k * 11) % times.size();
                note(found, format_timestamp(times[s]) == stamps[s], "timestamp " + stamps[s]);
            }
        }
    });
    EXPECT_EQ(findings, Found{});
}

}  // namespace
}  // namespace korvo
