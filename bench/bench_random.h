// The benchmarks' random numbers: xorshift, fast and the same on every run,
// so that every run times the same picture.
#pragma once

#include <cstdint>

namespace calmora::bench {

struct Random {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 32);
    }
    double uniform() { return next() / 4294967296.0; }
    // Roughly normal, mean 0, from four uniform draws.
    double gaussian() { return uniform() + uniform() + uniform() + uniform() - 2.0; }
};

} // namespace calmora::bench
