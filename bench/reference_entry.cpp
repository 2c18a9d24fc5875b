// The plain reference core behind one C entry, built as a shared library so
// that bench/run_bench.py can load it with ctypes and time it against
// __tovrin.nnls in one process.
#include <cstdint>

#include "nnls_reference.h"

extern "C" __attribute__((visibility("default"))) void reference_nnls(
    double* a, const std::int32_t* mda, const std::int32_t* m,
    const std::int32_t* n, double* b, double* x, double* rnorm, double* w,
    double* zz, std::int32_t* index, std::int32_t* mode,
    const std::int32_t* maxiter) {
  reference::nnls(a, mda, m, n, b, x, rnorm, w, zz, index, mode, maxiter);
}
