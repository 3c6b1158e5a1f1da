// Per-thread storage for a module the interpreter loads with dlopen. A plain thread_local there
// costs a call into the dynamic linker (__tls_get_addr) on every use; the initial-exec model puts
// it in the static TLS block instead, which glibc keeps room in for such libraries. Keep what is
// declared this way small (a few hundred bytes in all).
#pragma once

#define KORVO_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))

#include <cstddef>
#include <string>

namespace korvo {

// What each of a thread's scratch texts (its output buffer among them) may keep between uses, so
// an idle thread holds no large text.
inline constexpr std::size_t kKeptScratch = 64 * 1024;

// Lends a thread's scratch text to one use: empty at the start, and cut back to kKeptScratch
// at the end, however the use ends (a text that fails to read may have reserved its full size).
class LentScratch {
public:
    explicit LentScratch(std::string& text) noexcept : text_(text) { text_.clear(); }
    ~LentScratch() {
        if (text_.capacity() > kKeptScratch) std::string().swap(text_);
    }
    LentScratch(const LentScratch&) = delete;
    LentScratch& operator=(const LentScratch&) = delete;

    std::string& text() noexcept { return text_; }

private:
    std::string& text_;
};

}  // namespace korvo
