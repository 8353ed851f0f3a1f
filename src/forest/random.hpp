#pragma once
// The seeded random source of one training call: ChaCha20 (20 rounds, 64-bit block counter,
// 64-bit stream id) buffered eight blocks at a time, behind one lock.
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvelin {

class ChaCha20 {
public:
    // Key words from a 64-bit seed by the PCG32 expansion.
    static std::array<uint32_t, 8> key_from_seed(uint64_t seed);
    explicit ChaCha20(const std::array<uint32_t, 8>& key, uint64_t stream = 0) : key_(key), stream_(stream) {}

    uint64_t next_u64() {
        if (pos_ + 1 < kBuffer) {
            const uint64_t v = buffer_[pos_] | (static_cast<uint64_t>(buffer_[pos_ + 1]) << 32);
            pos_ += 2;
            return v;
        }
        return next_u64_across();
    }
    // The bound of index draws below n, n >= 1: the multiply-and-reject zone, which takes a
    // 64-bit division, worked out once for a run of draws with one n.
    struct IndexBound {
        explicit IndexBound(uint64_t n) : n(n), zone(UINT64_MAX - (0 - n) % n) {}  // (2^64 - n) mod n rejected
        uint64_t n, zone;
    };
    // Unbiased index in [0, n), n >= 1, by multiply-and-reject.
    uint64_t index(uint64_t n) { return index(IndexBound(n)); }
    uint64_t index(const IndexBound& bound) {
        while (true) {
            const unsigned __int128 product = static_cast<unsigned __int128>(next_u64()) * bound.n;
            if (static_cast<uint64_t>(product) <= bound.zone) return static_cast<uint64_t>(product >> 64);
        }
    }

    // One 16-word block for the given counter and stream (exposed for tests).
    static std::array<uint32_t, 16> block(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream);
    // Blocks counter .. counter + 7 into out[16 * b + i], computed side by side with the widest
    // vector unit the processor has, or with the portable code that every processor runs.
    static void eight_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream, uint32_t* out,
                             bool portable = false);

private:
    static constexpr uint64_t kBlocks = 8;
    static constexpr size_t kBuffer = 16 * kBlocks;
    void refill();
    // next_u64 when the buffer holds fewer than two words.
    uint64_t next_u64_across();

    std::array<uint32_t, 8> key_;
    uint64_t stream_ = 0;
    uint64_t counter_ = 0;
    std::array<uint32_t, kBuffer> buffer_{};
    size_t pos_ = kBuffer;
};

class Random {
public:
    // Without a seed the key comes from the operating system's entropy source.
    explicit Random(std::optional<uint64_t> seed);
    // Stream `stream` of a given key; stream 0 is the one Random(seed) reads.
    Random(const std::array<uint32_t, 8>& key, uint64_t stream);
    // The key Random(seed) uses: expanded from the seed, or fresh entropy without one.
    static std::array<uint32_t, 8> key_for(std::optional<uint64_t> seed);

    // k indices in [0, n): with replacement, or distinct in draw order. All k draws are one
    // uninterrupted stretch of the stream.
    std::vector<uint64_t> choose(uint64_t n, uint64_t k, bool replace);
    // The same draws, written into `out` (resized to k); saves an allocation per tree.
    template <class T>
    void choose_into(uint64_t n, uint64_t k, bool replace, std::vector<T>& out);
    // Fisher-Yates shuffle of `items` in place, from the last position down: one index draw
    // per position, in one uninterrupted stretch of the stream.
    template <class T>
    void shuffle(std::vector<T>& items);

private:
    std::mutex mutex_;
    ChaCha20 rng_;
};

}  // namespace quorvelin
