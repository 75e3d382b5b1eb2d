#pragma once
// SHA-256 computed by the program itself, in pieces: data in, digest out. It uses the processor's
// SHA instructions where it has them (most x86 processors since 2017), which hash several times
// faster than the system's provider does under Wine; otherwise a plain implementation.

#include "util/sha256.h"

#include <cstddef>
#include <cstdint>

class Sha256Hasher {
public:
    // `accelerated`: with the processor's SHA instructions (only when it has them).
    explicit Sha256Hasher(bool accelerated = Accelerated());
    void Add(const void* data, std::size_t size);
    // The digest of everything added; the hasher then starts again.
    Sha256Digest Finish();

    // The processor's SHA instructions are used.
    static bool Accelerated();

private:
    void Reset();
    void Blocks(const unsigned char* blocks, std::size_t count);
    bool accelerated_;
    std::uint32_t state_[8];
    unsigned char pending_[64];
    std::size_t pendingSize_ = 0;
    std::uint64_t total_ = 0;
};

// The 64 round constants of SHA-256.
extern const std::uint32_t kSha256RoundConstants[64];

// Hashes `count` whole 64-byte blocks into `state` with the processor's SHA instructions; only
// called when Sha256Hasher::Accelerated().
void Sha256BlocksAccelerated(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);
