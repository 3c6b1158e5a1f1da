// Blocks: a header and texts after it in one allocation, and the two owners that free them. A
// stored agent, a stored key and a stored value are each one such block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace korvo {

// The allocation of a block: a header of type H made in place (H may keep its constructor private
// and befriend Block<H>), with `extra` bytes after it. H is trivially destructible, so freeing a
// block is freeing its memory; only the owners below do it.
template <class H>
struct Block {
    static_assert(std::is_trivially_destructible_v<H>, "a block is freed without running a destructor");

    static H* make(std::size_t extra) { return ::new (::operator new(sizeof(H) + extra)) H; }
    static void free(H* h) noexcept { ::operator delete(h); }
    static char* bytes(H* h) noexcept { return reinterpret_cast<char*>(h + 1); }
    static const char* bytes(const H* h) noexcept { return reinterpret_cast<const char*>(h + 1); }
};

template <class H>
struct FreeBlock {
    void operator()(H* h) const noexcept { Block<H>::free(h); }
};

// Sole ownership of a block.
template <class H>
using UniqueBlock = std::unique_ptr<H, FreeBlock<H>>;

template <class H>
UniqueBlock<H> make_unique_block(std::size_t extra) {
    return UniqueBlock<H>(Block<H>::make(extra));
}

// Shared ownership of a block holding a header H and a text: holds are counted atomically, so a
// hold may be taken or dropped under any lock or none, and the last one frees the block.
template <class H>
class SharedBlock {
public:
    SharedBlock() noexcept = default;
    // A new block (its header value-initialized) holding a copy of `text`; the one hold on it.
    explicit SharedBlock(std::string_view text) : node_(Block<Node>::make(text.size())) {
        node_->size = text.size();
        std::memcpy(Block<Node>::bytes(node_), text.data(), text.size());
    }
    SharedBlock(const SharedBlock& o) noexcept : node_(o.node_) {
        if (node_) node_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    SharedBlock(SharedBlock&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    SharedBlock& operator=(SharedBlock o) noexcept {
        std::swap(node_, o.node_);
        return *this;
    }
    ~SharedBlock() {
        if (node_ && node_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) Block<Node>::free(node_);
    }

    explicit operator bool() const noexcept { return node_ != nullptr; }
    std::string_view text() const noexcept { return {Block<Node>::bytes(node_), node_->size}; }
    // The header is shared as the block is: its holders agree among themselves who changes it.
    H& header() const noexcept { return node_->header; }

private:
    struct Node {
        std::atomic<std::uint32_t> holders{1};
        H header{};
        std::size_t size = 0;
    };
    Node* node_ = nullptr;
};

}  // namespace korvo
