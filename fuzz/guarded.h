// Shared pieces of the solver-core fuzz targets: storage whose every element
// outside the range a routine may touch is poisoned for AddressSanitizer and
// filled with a sentinel bit pattern, and the decoding of fuzz input into the
// doubles that stress the arithmetic (signed zeros, subnormals, huge values,
// infinities, NaN, small integers that produce ties and exact cancellation).
#ifndef TOVRIN_FUZZ_GUARDED_H
#define TOVRIN_FUZZ_GUARDED_H

#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace fuzz {

// Signalling-NaN payloads that no arithmetic produces: an element still
// holding one was never written.  Two patterns, so that a run can be repeated
// with different contents in storage the routine must ignore.
constexpr std::uint64_t sentinel_bits[2] = {0x7ff4deadbeef0001ULL,
                                            0x7ff4feedface0002ULL};
constexpr std::int32_t sentinel_int[2] = {-0x5a5a5a5b, 0x3c3c3c3d};

inline double bits_to_double(std::uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

inline std::uint64_t double_to_bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

inline double sentinel(int pattern) {
  return bits_to_double(sentinel_bits[pattern]);
}

// Set by a target to print the decoded input when a check fails.
inline void (*describe_input)() = nullptr;

// Aborts with a message; libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  if (describe_input != nullptr) describe_input();
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// A double drawn from the input: mostly small integers and eighths (ties,
// exact zeros, rank deficiency), often one of the IEEE special values, now
// and then arbitrary bits.  Never a sentinel pattern.
inline double value(FuzzedDataProvider& in) {
  const auto kind = in.ConsumeIntegralInRange<int>(0, 19);
  const double inf = std::numeric_limits<double>::infinity();
  const double tiny = std::numeric_limits<double>::denorm_min();
  switch (kind) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return tiny;
    case 3: return -tiny * in.ConsumeIntegralInRange<int>(1, 1 << 20);
    case 4: return std::numeric_limits<double>::max();
    case 5: return -std::numeric_limits<double>::max();
    case 6: return inf;
    case 7: return -inf;
    case 8: return in.ConsumeBool() ? std::nan("") : -std::nan("");
    case 9: return std::ldexp(in.ConsumeIntegralInRange<int>(-8, 8), 510);
    case 10: return std::ldexp(in.ConsumeIntegralInRange<int>(-8, 8), -540);
    case 11: return std::numeric_limits<double>::min();
    case 12:
    case 13: {
      const std::uint64_t u = in.ConsumeIntegral<std::uint64_t>();
      const double d = bits_to_double(u);
      return std::isnan(d) ? std::nan("") : d;
    }
    case 14:
    case 15: return in.ConsumeIntegralInRange<int>(-64, 64) / 8.0;
    default: return in.ConsumeIntegralInRange<int>(-4, 4);
  }
}

// Storage of len elements with guard elements on both sides.  Elements are
// addressed relative to the first of the stated extent (negative offsets
// reach into the front guard).  After seal(), every element not marked open
// is poisoned, so any read or write of it is an AddressSanitizer report;
// unseal() lifts the poisoning so that the contents can be checked.
template <typename T>
class Guarded {
 public:
  static constexpr std::ptrdiff_t guard = 8;

  Guarded(std::ptrdiff_t len, T fill)
      : cells_(static_cast<std::size_t>(len + 2 * guard), fill),
        open_(cells_.size(), false),
        len_(len) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;
  ~Guarded() { unseal(); }

  T* first() { return cells_.data() + guard; }
  T& operator[](std::ptrdiff_t i) { return cells_[at(i)]; }
  std::ptrdiff_t size() const { return len_; }
  void open(std::ptrdiff_t i) { open_[at(i)] = true; }
  bool is_open(std::ptrdiff_t i) const { return open_[at(i)]; }

  void seal() {
    snapshot_ = cells_;
    for (std::size_t k = 0; k < cells_.size(); ++k) {
      if (!open_[k]) ASAN_POISON_MEMORY_REGION(&cells_[k], sizeof(T));
    }
  }
  void unseal() {
    ASAN_UNPOISON_MEMORY_REGION(cells_.data(), cells_.size() * sizeof(T));
  }

  // True when every element that was not open still has its sealed bits.
  bool closed_untouched() const {
    for (std::size_t k = 0; k < cells_.size(); ++k) {
      if (!open_[k] && !same(cells_[k], snapshot_[k])) return false;
    }
    return true;
  }
  // True when element i still has its sealed bits.
  bool unchanged(std::ptrdiff_t i) const {
    return same(cells_[at(i)], snapshot_[at(i)]);
  }
  // True when no element at all changed since seal().
  bool all_unchanged() const {
    for (std::size_t k = 0; k < cells_.size(); ++k) {
      if (!same(cells_[k], snapshot_[k])) return false;
    }
    return true;
  }

 private:
  std::size_t at(std::ptrdiff_t i) const {
    if (i < -guard || i >= len_ + guard) fail("harness offset out of range");
    return static_cast<std::size_t>(i + guard);
  }
  static bool same(const T& p, const T& q) {
    return std::memcmp(&p, &q, sizeof(T)) == 0;
  }

  std::vector<T> cells_;
  std::vector<bool> open_;
  std::vector<T> snapshot_;
  std::ptrdiff_t len_;
};

inline bool same_bits(double p, double q) {
  return double_to_bits(p) == double_to_bits(q);
}

// The iteration-limit line of the solver would flood the fuzzer's console.
inline void silence_stdout() {
  if (std::getenv("TOVRIN_FUZZ_VERBOSE") == nullptr) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) fail("freopen");
  }
}

}  // namespace fuzz

#endif  // TOVRIN_FUZZ_GUARDED_H
