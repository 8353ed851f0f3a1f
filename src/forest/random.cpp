#include "forest/random.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include <sys/random.h>

#include "data/dmatrix.hpp"
#include "error.hpp"

namespace quorvelin {

std::array<uint32_t, 8> ChaCha20::key_from_seed(uint64_t seed) {
    std::array<uint32_t, 8> key{};
    uint64_t state = seed;
    for (uint32_t& word : key) {
        state = state * 6364136223846793005ULL + 11634580027462260723ULL;
        const uint32_t x = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        const int r = static_cast<int>(state >> 59);
        word = std::rotr(x, r);
    }
    return key;
}

namespace {

constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// Several blocks side by side, lane b holding block b's word: every step of the rounds is one
// vector operation on all of them, the same integer arithmetic as one block's words.
using Lanes4 = uint32_t __attribute__((vector_size(16)));
using Lanes8 = uint32_t __attribute__((vector_size(32)));

// Always inlined, so that the eight-lane code is generated for the vector unit of the function
// that uses it.
[[gnu::always_inline]] inline void rotl(uint32_t& v, int r) { v = std::rotl(v, r); }
template <class Lanes>
[[gnu::always_inline]] inline void rotl(Lanes& v, int r) {
    v = (v << r) | (v >> (32 - r));
}

template <class Word>
[[gnu::always_inline]] inline void quarter(Word& a, Word& b, Word& c, Word& d) {
    a += b; d ^= a; rotl(d, 16);
    c += d; b ^= c; rotl(b, 12);
    a += b; d ^= a; rotl(d, 8);
    c += d; b ^= c; rotl(b, 7);
}

// The twenty rounds (ten column-and-diagonal pairs) on one block's words or on several blocks' lanes.
template <class Word>
[[gnu::always_inline]] inline void twenty_rounds(Word* x) {
    for (int round = 0; round < 10; ++round) {
        quarter(x[0], x[4], x[8], x[12]);
        quarter(x[1], x[5], x[9], x[13]);
        quarter(x[2], x[6], x[10], x[14]);
        quarter(x[3], x[7], x[11], x[15]);
        quarter(x[0], x[5], x[10], x[15]);
        quarter(x[1], x[6], x[11], x[12]);
        quarter(x[2], x[7], x[8], x[13]);
        quarter(x[3], x[4], x[9], x[14]);
    }
}

// Blocks counter .. counter + N - 1 into out[16 * b + i], N the lanes of the vector type.
template <class Lanes, uint32_t N>
[[gnu::always_inline]] inline void lane_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream,
                                               uint32_t* out) {
    Lanes in[16];
    for (int i = 0; i < 4; ++i) in[i] = Lanes{} + kSigma[i];
    for (int i = 0; i < 8; ++i) in[4 + i] = Lanes{} + key[i];
    for (uint32_t b = 0; b < N; ++b) {
        in[12][b] = static_cast<uint32_t>(counter + b);
        in[13][b] = static_cast<uint32_t>((counter + b) >> 32);
    }
    in[14] = Lanes{} + static_cast<uint32_t>(stream);
    in[15] = Lanes{} + static_cast<uint32_t>(stream >> 32);
    Lanes x[16];
    std::copy(in, in + 16, x);
    twenty_rounds(x);
    for (int i = 0; i < 16; ++i) {
        const Lanes word = x[i] + in[i];
        for (uint32_t b = 0; b < N; ++b) out[16 * b + i] = word[b];
    }
}

void eight_blocks_portable(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream, uint32_t* out) {
    lane_blocks<Lanes4, 4>(key, counter, stream, out);
    lane_blocks<Lanes4, 4>(key, counter + 4, stream, out + 64);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void eight_blocks_avx2(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream,
                                               uint32_t* out) {
    lane_blocks<Lanes8, 8>(key, counter, stream, out);
}
// Static initialisers may run before the processor's features are read: read them first.
bool have_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
const bool kHaveAvx2 = have_avx2();
#endif

}  // namespace

std::array<uint32_t, 16> ChaCha20::block(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream) {
    std::array<uint32_t, 16> in{kSigma[0], kSigma[1], kSigma[2], kSigma[3]};
    for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
    in[12] = static_cast<uint32_t>(counter);
    in[13] = static_cast<uint32_t>(counter >> 32);
    in[14] = static_cast<uint32_t>(stream);
    in[15] = static_cast<uint32_t>(stream >> 32);
    std::array<uint32_t, 16> x = in;
    twenty_rounds(x.data());
    for (int i = 0; i < 16; ++i) x[i] += in[i];
    return x;
}

void ChaCha20::eight_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream, uint32_t* out,
                            bool portable) {
#if defined(__x86_64__)
    if (kHaveAvx2 && !portable) return eight_blocks_avx2(key, counter, stream, out);
#endif
    (void)portable;
    eight_blocks_portable(key, counter, stream, out);
}

void ChaCha20::refill() {
    eight_blocks(key_, counter_, stream_, buffer_.data());
    counter_ += kBlocks;
    pos_ = 0;
}

uint64_t ChaCha20::next_u64_across() {
    constexpr size_t kLast = kBuffer - 1;
    if (pos_ == kLast) {
        const uint64_t lo = buffer_[kLast];
        refill();
        const uint64_t hi = buffer_[0];
        pos_ = 1;
        return lo | (hi << 32);
    }
    refill();
    pos_ = 2;
    return buffer_[0] | (static_cast<uint64_t>(buffer_[1]) << 32);
}

namespace {

std::array<uint32_t, 8> entropy_key() {
    std::array<uint32_t, 8> key{};
    unsigned char bytes[32];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t r = getrandom(bytes + got, sizeof bytes - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            stop(std::string("from_entropy failed: ") + std::strerror(errno));
        }
        got += static_cast<size_t>(r);
    }
    for (int i = 0; i < 8; ++i)
        key[i] = bytes[4 * i] | (bytes[4 * i + 1] << 8) | (bytes[4 * i + 2] << 16) |
                 (static_cast<uint32_t>(bytes[4 * i + 3]) << 24);
    return key;
}

}  // namespace

Random::Random(std::optional<uint64_t> seed) : rng_(key_for(seed)) {}

Random::Random(const std::array<uint32_t, 8>& key, uint64_t stream) : rng_(key, stream) {}

std::array<uint32_t, 8> Random::key_for(std::optional<uint64_t> seed) {
    return seed ? ChaCha20::key_from_seed(*seed) : entropy_key();
}

template <class T>
void Random::choose_into(uint64_t n, uint64_t k, bool replace, std::vector<T>& out) {
    if (n < k) stop("assertion failed: n >= k");
    std::lock_guard<std::mutex> lock(mutex_);
    out.clear();
    if (k == 0) return;
    out.reserve(k);
    const ChaCha20::IndexBound bound(n);
    if (replace) {
        for (uint64_t i = 0; i < k; ++i) out.push_back(static_cast<T>(rng_.index(bound)));
        return;
    }
    while (out.size() < k) {
        const T v = static_cast<T>(rng_.index(bound));
        if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
    }
}

template void Random::choose_into<uint64_t>(uint64_t, uint64_t, bool, std::vector<uint64_t>&);
template void Random::choose_into<RowId>(uint64_t, uint64_t, bool, std::vector<RowId>&);

template <class T>
void Random::shuffle(std::vector<T>& items) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[rng_.index(i)]);
}

template void Random::shuffle<RowId>(std::vector<RowId>&);

std::vector<uint64_t> Random::choose(uint64_t n, uint64_t k, bool replace) {
    std::vector<uint64_t> out;
    choose_into(n, k, replace, out);
    return out;
}

}  // namespace quorvelin
