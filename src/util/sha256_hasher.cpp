#include "util/sha256_hasher.h"

#include <cstring>

#if defined(_MSC_VER)
#include <intrin.h>
#elif defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

const std::uint32_t kSha256RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void PlainBlocks(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = static_cast<std::uint32_t>(blocks[4 * t]) << 24 | static_cast<std::uint32_t>(blocks[4 * t + 1]) << 16 |
                   static_cast<std::uint32_t>(blocks[4 * t + 2]) << 8 | blocks[4 * t + 3];
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t t1 =
                h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256RoundConstants[t] + w[t];
            const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

bool ProcessorHasShaInstructions() {
#if defined(_MSC_VER)
    int regs[4] = {};
    __cpuid(regs, 0);
    if (regs[0] < 7) return false;
    __cpuid(regs, 1);
    const bool sse41 = (regs[2] & (1 << 19)) != 0, ssse3 = (regs[2] & (1 << 9)) != 0;
    __cpuidex(regs, 7, 0);
    return sse41 && ssse3 && (regs[1] & (1 << 29)) != 0;
#elif defined(__i386__) || defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool sse41 = (c & (1u << 19)) != 0, ssse3 = (c & (1u << 9)) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return sse41 && ssse3 && (b & (1u << 29)) != 0;
#else
    return false;
#endif
}

}  // namespace

bool Sha256Hasher::Accelerated() {
    static const bool accelerated = ProcessorHasShaInstructions();
    return accelerated;
}

Sha256Hasher::Sha256Hasher(bool accelerated) : accelerated_(accelerated && Accelerated()) { Reset(); }

void Sha256Hasher::Blocks(const unsigned char* blocks, std::size_t count) {
    if (accelerated_)
        Sha256BlocksAccelerated(state_, blocks, count);
    else
        PlainBlocks(state_, blocks, count);
}

void Sha256Hasher::Reset() {
    std::memcpy(state_, kInitial, sizeof state_);
    pendingSize_ = 0;
    total_ = 0;
}

void Sha256Hasher::Add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const std::size_t take = size < 64 - pendingSize_ ? size : 64 - pendingSize_;
        std::memcpy(pending_ + pendingSize_, bytes, take);
        pendingSize_ += take;
        bytes += take;
        size -= take;
        if (pendingSize_ < 64) return;
        Blocks(pending_, 1);
        pendingSize_ = 0;
    }
    if (size >= 64) {
        Blocks(bytes, size / 64);
        bytes += size / 64 * 64;
        size %= 64;
    }
    std::memcpy(pending_, bytes, size);
    pendingSize_ = size;
}

Sha256Digest Sha256Hasher::Finish() {
    const std::uint64_t bits = total_ * 8;
    unsigned char tail[72] = {0x80};
    const std::size_t padding = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Add(tail, padding + 8);
    Sha256Digest digest{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
    Reset();
    return digest;
}
