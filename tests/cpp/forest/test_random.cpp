// The seeded source: ChaCha20 blocks, the seed expansion, the 64-bit draw across buffer refills,
// unbiased indices and choose().
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include "forest/random.hpp"
#include "test_util.hpp"

using quorvelin::ChaCha20;
using quorvelin::Random;

namespace {

using Key = std::array<uint32_t, 8>;

// Key bytes 00 01 02 ... 1f, read as little-endian words.
Key counting_key() {
    Key k{};
    for (uint32_t i = 0; i < 8; ++i)
        k[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
    return k;
}

// The 64-bit draws that a fresh generator must produce: pairs of words of consecutive
// four-block buffers, buffer after buffer.
std::vector<uint64_t> expected_draws(const Key& key, size_t count, uint64_t stream = 0) {
    std::vector<uint32_t> words;
    for (uint64_t counter = 0; words.size() < 2 * count; ++counter) {
        const auto b = ChaCha20::block(key, counter, stream);
        words.insert(words.end(), b.begin(), b.end());
    }
    std::vector<uint64_t> out;
    for (size_t i = 0; i < count; ++i) out.push_back(words[2 * i] | (static_cast<uint64_t>(words[2 * i + 1]) << 32));
    return out;
}

// Multiply-and-reject on top of a plain 64-bit stream.
struct ReferenceIndex {
    ChaCha20 rng;
    uint64_t rejected = 0;
    uint64_t operator()(uint64_t n) {
        const uint64_t reject = (0 - n) % n;
        const uint64_t zone = UINT64_MAX - reject;
        while (true) {
            const unsigned __int128 p = static_cast<unsigned __int128>(rng.next_u64()) * n;
            if (static_cast<uint64_t>(p) <= zone) return static_cast<uint64_t>(p >> 64);
            ++rejected;
        }
    }
};

}  // namespace

TEST(ChaCha20, BlockMatchesRfc7539Vector) {
    // RFC 7539 section 2.3.2: key 00..1f, block count 1, nonce 00000009 0000004a 00000000. In this
    // layout words 12-13 are the 64-bit counter and 14-15 the stream id, so the RFC's state words
    // 12..15 (00000001 09000000 4a000000 00000000) are counter 0x0900000000000001, stream 0x4a000000.
    const uint64_t counter = 1 | (0x09000000ULL << 32);
    const uint64_t stream = 0x4a000000ULL;
    const std::array<uint32_t, 16> expected{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                            0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                            0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(ChaCha20::block(counting_key(), counter, stream), expected);
}

TEST(ChaCha20, SeedExpansion) {
    // Seed 0: state = 0 * 6364136223846793005 + 11634580027462260723 = 0xa17654e46fbe17f3;
    // ((state >> 18) ^ state) >> 27 truncated = 0x2ecf973f; r = state >> 59 = 20;
    // rotr(0x2ecf973f, 20) = 0xf973f2ec.
    EXPECT_EQ(ChaCha20::key_from_seed(0),
              (Key{0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}));
    EXPECT_EQ(ChaCha20::key_from_seed(7),
              (Key{0x3b400cc8, 0x096c20d0, 0x6f3ba637, 0x1e254ff2, 0x1b2fbb3c, 0x5a5684b3, 0x1566a09a, 0x3f201b0d}));
}

TEST(ChaCha20, DrawsFollowTheBufferAcrossRefills) {
    // 64 draws use one eight-block buffer; the draw at position 126 takes words 126 and 127, the
    // next one refills (counters 8..15) and starts at word 0. 300 draws cover four refills.
    // Per-tree streams put words in both stream slots.
    for (uint64_t seed : {0ULL, 7ULL, 0xdeadbeefULL})
        for (uint64_t stream : {0ULL, 5ULL, 0x100000003ULL}) {
            const Key key = ChaCha20::key_from_seed(seed);
            ChaCha20 rng(key, stream);
            const auto expected = expected_draws(key, 300, stream);
            for (size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(rng.next_u64(), expected[i]) << "draw " << i << " stream " << stream;
        }
}

// The buffer's eight blocks are computed side by side, with the processor's widest vector unit or
// with the portable code: both must give the blocks one by one, also where the counter's low
// word wraps inside the eight.
TEST(ChaCha20, EightBlocksAreTheBlocksOneByOne) {
    const Key key = ChaCha20::key_from_seed(11);
    for (uint64_t counter : {0ULL, 8ULL, 0xfffffffcULL, 0x1fffffffbULL})
        for (uint64_t stream : {0ULL, 0x100000003ULL})
            for (bool portable : {false, true}) {
                uint32_t out[128];
                ChaCha20::eight_blocks(key, counter, stream, out, portable);
                for (uint64_t b = 0; b < 8; ++b) {
                    const auto one = ChaCha20::block(key, counter + b, stream);
                    ASSERT_TRUE(std::equal(one.begin(), one.end(), out + 16 * b))
                        << "block " << b << " after counter " << counter << (portable ? " (portable)" : "");
                }
            }
}

TEST(ChaCha20, IndexIsMultiplyAndReject) {
    const Key key = ChaCha20::key_from_seed(99);
    // n = 2^63 + 1 rejects almost half of the draws, so the retry path is exercised.
    for (uint64_t n : std::vector<uint64_t>{1, 2, 3, 10, 1000003, (1ULL << 63) + 1, UINT64_MAX}) {
        ChaCha20 rng(key);
        ReferenceIndex ref{ChaCha20(key)};
        for (int i = 0; i < 200; ++i) {
            const uint64_t v = rng.index(n);
            ASSERT_LT(v, n);
            ASSERT_EQ(v, ref(n)) << "n = " << n << ", draw " << i;
        }
        if (n == (1ULL << 63) + 1) {
            EXPECT_GT(ref.rejected, 20u);
        }
        // Both streams are at the same place afterwards: even n = 1 consumes a draw.
        EXPECT_EQ(rng.next_u64(), ref.rng.next_u64());
    }
}

TEST(RandomChoose, MatchesTheIndexStream) {
    const uint64_t seed = 2024;
    Random random(seed);
    ReferenceIndex ref{ChaCha20(ChaCha20::key_from_seed(seed))};

    // With replacement: k plain draws.
    const auto a = random.choose(10, 6, true);
    for (uint64_t v : a) EXPECT_EQ(v, ref(10));
    // k = 0 draws nothing.
    EXPECT_TRUE(random.choose(5, 0, true).empty());
    EXPECT_TRUE(random.choose(5, 0, false).empty());
    // Without replacement: duplicates are dropped, draw order kept.
    const auto b = random.choose(4, 4, false);
    std::vector<uint64_t> expected;
    while (expected.size() < 4) {
        const uint64_t v = ref(4);
        if (std::find(expected.begin(), expected.end(), v) == expected.end()) expected.push_back(v);
    }
    EXPECT_EQ(b, expected);
    // The stream continues across calls.
    const auto c = random.choose(1000, 3, true);
    for (uint64_t v : c) EXPECT_EQ(v, ref(1000));
}

TEST(RandomChoose, EdgeCasesAndSeeds) {
    Random random(1);
    EXPECT_TRUE(random.choose(0, 0, true).empty());
    EXPECT_STOP_MSG(random.choose(3, 4, true), "assertion failed: n >= k");
    EXPECT_STOP_MSG(random.choose(0, 1, false), "assertion failed: n >= k");
    // A refused call draws nothing: the stream is where a fresh one would be.
    EXPECT_EQ(random.choose(1u << 30, 4, true), Random(1).choose(1u << 30, 4, true));
    auto p = Random(9).choose(5, 5, false);
    std::sort(p.begin(), p.end());
    EXPECT_EQ(p, (std::vector<uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_NE(Random(77).choose(1000000, 7, true), Random(78).choose(1000000, 7, true));
    EXPECT_NE(Random(std::nullopt).choose(UINT64_MAX, 4, true), Random(std::nullopt).choose(UINT64_MAX, 4, true));
}

TEST(RandomChoose, EachCallIsOneUninterruptedStretch) {
    // Threads share one source; every call's draws must be a contiguous, aligned run of the
    // single stream, and together the calls use the stream without gaps.
    const uint64_t seed = 11;
    const int n_threads = 4, calls = 200, k = 8;
    const uint64_t n = 1ULL << 40;
    Random random(seed);
    std::vector<std::vector<std::vector<uint64_t>>> got(n_threads);
    std::vector<std::thread> threads;
    for (int t = 0; t < n_threads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < calls; ++i) got[t].push_back(random.choose(n, k, true));
        });
    for (auto& th : threads) th.join();

    ReferenceIndex ref{ChaCha20(ChaCha20::key_from_seed(seed))};
    std::map<std::vector<uint64_t>, int> chunks;
    for (int i = 0; i < n_threads * calls; ++i) {
        std::vector<uint64_t> chunk;
        for (int j = 0; j < k; ++j) chunk.push_back(ref(n));
        ++chunks[chunk];
    }
    for (const auto& per_thread : got)
        for (const auto& chunk : per_thread) {
            auto it = chunks.find(chunk);
            ASSERT_NE(it, chunks.end()) << "a call's draws are not one stretch of the stream";
            ASSERT_GT(it->second, 0);
            --it->second;
        }
}

TEST(RandomChoose, StreamsOfOneKeyDiffer) {
    const auto key = ChaCha20::key_from_seed(5);
    Random zero(key, 0), shared(5), one(key, 1), again(key, 1);
    EXPECT_EQ(zero.choose(1000, 8, true), shared.choose(1000, 8, true));  // stream 0 is Random(seed)
    const auto a = one.choose(1000, 8, true);
    EXPECT_EQ(a, again.choose(1000, 8, true));
    EXPECT_NE(a, Random(key, 0).choose(1000, 8, true));
    EXPECT_NE(a, Random(key, 2).choose(1000, 8, true));
}
