// The dense kernels behind a C interface, for bench/bench_dense.py to time
// them with ctypes beside NumPy in one process.  Each function runs its
// kernel `repeats` times (tovrin_bench_set_repeats), each time making its
// team of `threads` and its workspace as a solver call does, and restoring
// an overwritten operand from its given copy; it returns -1 when a kernel
// throws.  Repeating inside keeps ctypes' own cost out of the times of small
// problems.  Never part of the tests.
#include <cstdint>
#include <cstring>
#include <exception>

#include "common/team.h"
#include "gram/dense.h"

namespace {

namespace dense = tovrin::dense;
using dense::Index;

int repeats = 1;

// dst = src for the column-major rows x cols matrices (leading dimension ld).
void copy(Index rows, Index cols, const double* src, double* dst, Index ld) {
  for (Index j = 0; j < cols; ++j)
    std::memcpy(dst + j * ld, src + j * ld, sizeof(double) * static_cast<std::size_t>(rows));
}

dense::Op op_of(int transpose) { return transpose ? dense::Op::transpose : dense::Op::none; }
dense::Layout layout_of(int rows) { return rows ? dense::Layout::rows : dense::Layout::columns; }

// Runs body(team, workspace) and returns its value, or -1 on an exception.
template <class Body>
std::int64_t with_team(int threads, Index order, const Body& body) {
  try {
    std::int64_t result = 0;
    for (int r = 0; r < repeats; ++r) {
      tovrin::Team team(threads);
      dense::DenseWorkspace ws(threads, order);
      result = body(team, ws);
    }
    return result;
  } catch (const std::exception&) {
    return -1;
  }
}

template <class Body>
std::int64_t with_team_alone(int threads, const Body& body) {
  try {
    std::int64_t result = 0;
    for (int r = 0; r < repeats; ++r) {
      tovrin::Team team(threads);
      result = body(team);
    }
    return result;
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace

#define TOVRIN_BENCH_EXPORT extern "C" __attribute__((visibility("default")))

TOVRIN_BENCH_EXPORT void tovrin_bench_set_repeats(int count) { repeats = count < 1 ? 1 : count; }

TOVRIN_BENCH_EXPORT int tovrin_bench_active_path() {
  return static_cast<int>(dense::active_path());
}

TOVRIN_BENCH_EXPORT int tovrin_bench_use_path(int path) {
  return dense::use_path(static_cast<dense::Path>(path)) ? 1 : 0;
}

TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_gemm(int threads, int ta, int tb, Index m, Index n,
                                                   Index k, double alpha, const double* a,
                                                   Index lda, const double* b, Index ldb,
                                                   double beta, double* c, Index ldc) {
  return with_team(threads, 0, [&](tovrin::Team& t, dense::DenseWorkspace& ws) {
    dense::gemm(t, ws, op_of(ta), op_of(tb), m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    return 0;
  });
}

TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_gram(int threads, int rows, Index m, Index n,
                                                   const double* x, Index ldx, double* g,
                                                   Index ldg) {
  return with_team(threads, n, [&](tovrin::Team& t, dense::DenseWorkspace& ws) {
    dense::gram(t, ws, layout_of(rows), m, n, x, ldx, g, ldg);
    return 0;
  });
}

TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_cross(int threads, int x_rows, Index m, Index n,
                                                    const double* x, Index ldx, int b_rows,
                                                    Index k, const double* b, Index ldb,
                                                    double* c, Index ldc) {
  return with_team(threads, n, [&](tovrin::Team& t, dense::DenseWorkspace& ws) {
    dense::cross(t, ws, layout_of(x_rows), m, n, x, ldx, layout_of(b_rows), k, b, ldb, c, ldc);
    return 0;
  });
}

// Factors a copy of the lower triangle of `given` in a (the factorisation
// reads and writes nothing else).
TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_cholesky(int threads, Index n, const double* given,
                                                       double* a, Index lda,
                                                       double relative_pivot) {
  return with_team(threads, n, [&](tovrin::Team& t, dense::DenseWorkspace& ws) {
    for (Index j = 0; j < n; ++j)
      std::memcpy(a + j + j * lda, given + j + j * lda,
                  sizeof(double) * static_cast<std::size_t>(n - j));
    return dense::cholesky(t, ws, n, a, lda, relative_pivot);
  });
}

// Solves for a copy of `given` in b.
TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_solve(int threads, int transpose, Index n, Index k,
                                                    const double* l, Index ldl,
                                                    const double* given, double* b, Index ldb) {
  return with_team(threads, n, [&](tovrin::Team& t, dense::DenseWorkspace& ws) {
    copy(n, k, given, b, ldb);
    dense::solve_lower(t, ws, op_of(transpose), n, k, l, ldl, b, ldb);
    return 0;
  });
}

TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_staircase(int threads, Index n, Index k,
                                                        const double* l, Index ldl,
                                                        const double* given, double* b, Index ldb,
                                                        const Index* first) {
  return with_team(threads, n, [&](tovrin::Team& t, dense::DenseWorkspace& ws) {
    copy(n, k, given, b, ldb);
    dense::solve_lower_staircase(t, ws, n, k, l, ldl, b, ldb, first);
    return 0;
  });
}

TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_gemv(int threads, int transpose, Index m, Index n,
                                                   double alpha, const double* a, Index lda,
                                                   const double* x, double beta, double* y) {
  return with_team_alone(threads, [&](tovrin::Team& t) {
    dense::gemv(t, op_of(transpose), m, n, alpha, a, lda, x, beta, y);
    return 0;
  });
}

TOVRIN_BENCH_EXPORT std::int64_t tovrin_bench_solve_vector(int threads, int transpose, Index n,
                                                           const double* l, Index ldl,
                                                           const double* given, double* x) {
  return with_team_alone(threads, [&](tovrin::Team& t) {
    copy(n, 1, given, x, n);
    dense::solve_lower_vector(t, op_of(transpose), n, l, ldl, x);
    return 0;
  });
}
