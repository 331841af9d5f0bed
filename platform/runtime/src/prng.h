// The scheduler's pseudo-random source: splitmix64, so that a seed fixes every choice on every
// platform and standard library.
#pragma once

#include <cstdint>

namespace vel::rt {

class SplitMix64 {
  public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}

    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    // Uniform enough in [0, bound) for the handful of contexts a run has.
    uint64_t below(uint64_t bound) { return next() % bound; }

  private:
    uint64_t state_;
};

}  // namespace vel::rt
