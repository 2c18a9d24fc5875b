// Matrix-vector kernels for the rounds between factorisations: gemv and the
// triangular solves with one vector; see dense.h.
#include <algorithm>

#include "gram/dense.h"
#include "gram/dense_engine.h"

namespace tovrin {
namespace dense {

namespace {

using detail::ceil_div;
using detail::check_matrix;
using detail::Kernels;

// Columns whose scaled x (or dot products) one pass keeps on the stack.
constexpr Index vector_chunk = 256;
// Rows of y per item of a shared A x: y's part stays in the first-level cache.
constexpr Index gemv_rows_per_item = 512;
// Columns per item of a shared A'x.
constexpr Index gemv_columns_per_item = 64;
// Below this many multiply-adds a matrix-vector kernel runs on the calling
// thread; below the second while the team's helpers have not started.
constexpr double parallel_gemv = 1 << 18;
constexpr double parallel_gemv_to_start = 1 << 22;
// Rows of the blocks of a triangular solve with one vector.
constexpr Index vector_solve_block = 256;

bool share_vector(const Team& team, Index m, Index n) {
  const double work = double(m) * double(n);
  return team.size() > 1 &&
         work >= (team.helpers_started() ? parallel_gemv : parallel_gemv_to_start);
}

template <class Body>
void run_items(Team& team, bool parallel, Index items, const Body& body) {
  if (parallel) team.run(items, body); else team.run_here(items, body);
}

// y(0..m) += A(0..m, 0..n) (alpha x), columns in increasing order, shared by
// ranges of rows.
void add_columns(Team& team, const Kernels& kern, Index m, Index n, double alpha, const double* a,
                 Index lda, const double* x, double* y) {
  const auto rows = [&](int, Index item) {
    const Index i0 = item * gemv_rows_per_item, count = std::min(gemv_rows_per_item, m - i0);
    double scaled[vector_chunk];
    for (Index j0 = 0; j0 < n; j0 += vector_chunk) {
      const Index cols = std::min(vector_chunk, n - j0);
      const double* xs = x + j0;
      if (alpha != 1.0) {
        for (Index j = 0; j < cols; ++j) scaled[j] = alpha * x[j0 + j];
        xs = scaled;
      }
      kern.gemv_columns(count, cols, a + i0 + j0 * lda, lda, xs, y + i0);
    }
  };
  run_items(team, share_vector(team, m, n), ceil_div(m, gemv_rows_per_item), rows);
}

// t_j = A(0..m, j)' x for j < n, shared by ranges of columns; then
// y_j = alpha t_j + beta y_j (beta = 0: y not read).
void dot_columns(Team& team, const Kernels& kern, Index m, Index n, double alpha, const double* a,
                 Index lda, const double* x, double beta, double* y) {
  const auto columns = [&](int, Index item) {
    const Index j0 = item * gemv_columns_per_item, cols = std::min(gemv_columns_per_item, n - j0);
    double t[gemv_columns_per_item];
    kern.gemv_dots(m, cols, a + j0 * lda, lda, x, t);
    for (Index j = 0; j < cols; ++j) {
      double& yj = y[j0 + j];
      yj = beta == 0.0 ? alpha * t[j] : alpha * t[j] + beta * yj;
    }
  };
  run_items(team, share_vector(team, m, n), ceil_div(n, gemv_columns_per_item), columns);
}

}  // namespace

void gemv(Team& team, Op op, Index m, Index n, double alpha, const double* a, Index lda,
          const double* x, double beta, double* y) {
  check_matrix(m, n, lda);
  const Kernels& kern = detail::active_kernels();
  if (op == Op::transpose) {
    dot_columns(team, kern, m, n, alpha, a, lda, x, beta, y);
    return;
  }
  if (beta != 1.0)
    for (Index i = 0; i < m; ++i) y[i] = beta == 0.0 ? 0.0 : beta * y[i];
  add_columns(team, kern, m, n, alpha, a, lda, x, y);
}

// Forward: within a block x_c = x_c / l_cc, then the rows below it in the
// block lose l_ic x_c; the rows below the block lose L(below, block) x_block.
// So x_i loses l_ic x_c for c = 0..i-1 in increasing order, whatever the
// blocks.  Transposed: from the last block, x_block loses L(below,
// block)' x_below, then within the block from its last row, x_c =
// (x_c - L(c+1..block end, c)' x(c+1..block end)) / l_cc.
void solve_lower_vector(Team& team, Op op, Index n, const double* l, Index ldl, double* x) {
  check_matrix(n, n, ldl);
  const Kernels& kern = detail::active_kernels();
  const Index blocks = ceil_div(n, vector_solve_block);
  for (Index step = 0; step < blocks; ++step) {
    if (team.cancelled()) return;
    const Index block = op == Op::none ? step : blocks - 1 - step;
    const Index i0 = block * vector_solve_block, i1 = std::min(n, i0 + vector_solve_block);
    if (op == Op::none) {
      for (Index c = i0; c < i1; ++c) {
        x[c] /= l[c + c * ldl];
        const double minus = -x[c];
        kern.gemv_columns(i1 - c - 1, 1, l + (c + 1) + c * ldl, ldl, &minus, x + c + 1);
      }
      add_columns(team, kern, n - i1, i1 - i0, -1.0, l + i1 + i0 * ldl, ldl, x + i0, x + i1);
    } else {
      double t[vector_solve_block];
      if (i1 < n) {
        dot_columns(team, kern, n - i1, i1 - i0, 1.0, l + i1 + i0 * ldl, ldl, x + i1, 0.0, t);
        for (Index c = i0; c < i1; ++c) x[c] -= t[c - i0];
      }
      for (Index c = i1 - 1; c >= i0; --c) {
        double dot = 0.0;
        kern.gemv_dots(i1 - c - 1, 1, l + (c + 1) + c * ldl, ldl, x + c + 1, &dot);
        x[c] = (x[c] - dot) / l[c + c * ldl];
      }
    }
  }
}

}  // namespace dense
}  // namespace tovrin
