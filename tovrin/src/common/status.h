// The status codes of a result, the numbers of the package's Status enum,
// shared by the kernels and the front door.
#ifndef TOVRIN_STATUS_H
#define TOVRIN_STATUS_H

#include <cstdint>

namespace tovrin {
namespace status {

constexpr std::int64_t solved = 1;
constexpr std::int64_t iteration_limit = 3;
constexpr std::int64_t gram_inaccurate = 4;
constexpr std::int64_t not_finite = 5;
constexpr std::int64_t gram_indefinite = 6;

// Set beside a code by a kernel whose x lost bits when it was scaled back
// (a solution below the range of float64 rounds to zero): its rnorm and
// dual describe the x before rounding, and the front door recomputes them
// from the returned x.  Never seen by a caller.
constexpr std::int64_t refit = 64;

// A solver that saw its cancellation flag (Ctrl-C) stopped with this; the
// call then raises instead of returning.  Never seen by a caller.
constexpr std::int64_t cancelled = -1;

}  // namespace status
}  // namespace tovrin

#endif  // TOVRIN_STATUS_H
