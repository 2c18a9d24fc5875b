// The Cholesky factorisation and the triangular solves with many right-hand
// sides, blocked so that nearly all their work is the packed product of
// dense.cpp; see dense.h.
//
// A solve L X = B by blocks of rows: for block i, X_i = L_ii^-1 B_i (the
// diagonal block, by solve_tile on packed slivers of B_i), then
// B_below -= L_below,i X_i (a product whose B operand is the packed X_i
// itself).  The factorisation is right-looking: factor the diagonal block,
// solve the panel below it (L_21 = A_21 L_11^-T, that is L_21' = L_11^-1
// A_21'), update the trailing lower triangle A_22 -= L_21 L_21' with the
// packed L_21' from the solve.
#include <algorithm>
#include <cmath>

#include "gram/dense.h"
#include "gram/dense_engine.h"

namespace tovrin {
namespace dense {

namespace {

using detail::buffers_for;
using detail::ceil_div;
using detail::check_matrix;
using detail::Kernels;
using detail::round_up;
using detail::Source;
using Buffers = DenseWorkspace::Buffers;

using detail::factor_block;
using detail::inner_factor_block;

// Rows of the blocks of a solve: a multiple of every path's mr, at most
// max_depth.
constexpr Index solve_block = 144;
static_assert(inner_factor_block <= detail::factor_tile_order, "");
static_assert(factor_block % detail::max_nr == 0, "the next block column starts a sliver");
// Slivers solved by one item of a solve region.
constexpr Index slivers_per_solve_item = 4;

static_assert(solve_block % detail::max_mr == 0 && solve_block <= detail::max_depth, "");
static_assert(factor_block % detail::max_mr == 0 && factor_block <= detail::max_depth, "");

// Element (i, j) at p[i*rs + j*cs], writable.
struct Strided {
  double* p;
  Index rs, cs;
  double* at(Index i, Index j) const { return p + i * rs + j * cs; }
};

// The lower triangular nb x nb block l (element (i, j), i >= j, read) packed
// for solve_tile: panel s holds rows s*mr..s*mr+mr-1 over columns
// 0..s*mr+mr-1 (zeros above the diagonal and below row nb), the panels one
// after another; then the reciprocals of the diagonal, zero past nb.
// Returns where the reciprocals start.
const double* pack_triangle(const Kernels& kern, Index nb, Source l, double* out) {
  const Index mr = kern.mr, padded = round_up(nb, mr);
  double* panel = out;
  for (Index i0 = 0; i0 < padded; i0 += mr) {
    for (Index p = 0; p < i0 + mr; ++p) {
      for (Index r = 0; r < mr; ++r) {
        const Index i = i0 + r;
        panel[p * mr + r] = (i < nb && p <= i) ? *l.at(i, p) : 0.0;
      }
    }
    panel += (i0 + mr) * mr;
  }
  double* rinv = panel;
  for (Index i = 0; i < padded; ++i) rinv[i] = i < nb ? 1.0 / *l.at(i, i) : 0.0;
  return rinv;
}

// Where panel s starts in pack_triangle's output.
Index triangle_panel(const Kernels& kern, Index s) { return kern.mr * kern.mr * s * (s + 1) / 2; }

// B = L^-1 B for the nb x w block b and the packed triangle, each sliver of
// nr columns packed into x (at stride nr*round_up(nb, mr), rows past nb
// zero), solved there and copied back to b; x then holds X = L^-1 B packed
// for a product.
void solve_diagonal(Team& team, const Kernels& kern, bool parallel, Index nb, Index w,
                    const double* triangle, const double* rinv, Strided b, double* x) {
  const Index mr = kern.mr, nr = kern.nr;
  const Index padded = round_up(nb, mr), stride = nr * padded;
  const Index slivers = ceil_div(w, nr);
  const auto solve = [&](int, Index item) {
    const Index s1 = std::min(slivers, (item + 1) * slivers_per_solve_item);
    for (Index s = item * slivers_per_solve_item; s < s1; ++s) {
      const Index j0 = s * nr, cols = std::min(nr, w - j0);
      double* xs = x + s * stride;
      kern.pack_columns(nb, cols, b.at(0, j0), b.rs, b.cs, xs);
      std::fill(xs + nb * nr, xs + stride, 0.0);
      for (Index i0 = 0; i0 < padded; i0 += mr)
        kern.solve_tile(i0, triangle + triangle_panel(kern, i0 / mr), rinv + i0, xs);
      kern.unpack_columns(nb, cols, xs, b.at(0, j0), b.rs, b.cs);
    }
  };
  const Index items = ceil_div(slivers, slivers_per_solve_item);
  if (parallel) team.run(items, solve); else team.run_here(items, solve);
}

// --- Cholesky ---------------------------------------------------------------

// The nb x nb diagonal block a (nb <= factor_block) factored on the calling
// thread as `worker`, by blocks of inner_factor_block columns: factor_tile
// on the block's diagonal, the rows below solved, the trailing lower
// triangle updated.  given holds the block's diagonal as the caller gave
// it.  Returns the first failing column, or nb.  Uses the inner buffers and
// the worker's rows only, so it can run beside the items of a region.
Index factor_diagonal_block(Team& team, Buffers& ws, const Kernels& kern, int worker, Index nb,
                            double* a, Index lda, const double* given, double relative) {
  for (Index j0 = 0; j0 < nb; j0 += inner_factor_block) {
    const Index jb = std::min(inner_factor_block, nb - j0), below = nb - j0 - jb;
    double* d = a + j0 + j0 * lda;
    const Index done = kern.factor_tile(jb, d, lda, given + j0, relative);
    if (below > 0 && done > 0) {
      const double* rinv = pack_triangle(kern, done, Source{d, 1, lda}, ws.inner_triangle.get());
      solve_diagonal(team, kern, false, done, below, ws.inner_triangle.get(), rinv,
                     Strided{d + jb, lda, 1}, ws.inner_panel.get());
    }
    if (done < jb) return j0 + done;
    if (below > 0) {
      const Index stride = kern.nr * round_up(jb, kern.mr);
      detail::PanelProduct(ws, kern, 1, below, below, jb, -1.0, Source{d + jb, 1, lda},
                           ws.inner_panel.get(), stride, 1.0,
                           detail::Target{d + jb + jb * lda, 1, lda}, true, 0)
          .run_all(worker);
    }
  }
  return nb;
}

// The blocked right-looking factorisation with one block of lookahead.  At
// the head of step j0 the columns before j0 are factored, the diagonal
// block at j0 (jb columns) is factored up to its column `done`, and the
// rest of the lower triangle holds A less the updates of the columns before
// j0.  A step solves the panel below the diagonal block, L_21' =
// L_11^-1 A_21' (packed into the workspace panel), then, in one region,
// updates A_22 -= L_21 L_21': its first item updates the next diagonal
// block and factors it, the other items update the rows below that block,
// so that the diagonal's factorisation leaves the critical path.  Every
// entry takes the same operations in the same order as without lookahead.
Index factor_blocked(Team& team, Buffers& ws, const Kernels& kern, Index n, double* a, Index lda,
                     const double* given, double relative) {
  const bool shared = team.size() > 1;
  Index jb = std::min(factor_block, n);
  Index done = factor_diagonal_block(team, ws, kern, 0, jb, a, lda, given, relative);
  for (Index j0 = 0;; j0 += factor_block) {
    if (team.cancelled()) return j0;
    const Index below = n - j0 - jb;
    double* d = a + j0 + j0 * lda;
    if (below > 0 && done > 0) {
      const double* rinv = pack_triangle(kern, done, Source{d, 1, lda}, ws.triangle.get());
      solve_diagonal(team, kern, shared && detail::share(team, below, done, done), done, below,
                     ws.triangle.get(), rinv, Strided{d + jb, lda, 1}, ws.panel.get());
    }
    if (done < jb) return j0 + done;
    if (below == 0) return n;

    const Index next = std::min(factor_block, below);
    const Index stride = kern.nr * round_up(jb, kern.mr);
    double* a22 = d + jb + jb * lda;
    const bool parallel = shared && detail::share(team, below, below, jb);
    const int members = parallel ? team.size() : 1;
    // A_22 in two parts: the next diagonal block (its lower triangle), and
    // the rows below it, whose lower part starts `next` columns further.
    const detail::PanelProduct diagonal(ws, kern, 1, next, next, jb, -1.0, Source{d + jb, 1, lda},
                                        ws.panel.get(), stride, 1.0, detail::Target{a22, 1, lda},
                                        true, 0);
    const detail::PanelProduct rest(ws, kern, members, below - next, below, jb, -1.0,
                                    Source{d + jb + next, 1, lda}, ws.panel.get(), stride, 1.0,
                                    detail::Target{a22 + next, 1, lda}, true, next);
    Index next_done = 0;
    const auto step = [&](int worker, Index item) {
      if (item > 0) {
        rest.run(worker, item - 1);
        return;
      }
      diagonal.run_all(worker);
      next_done =
          factor_diagonal_block(team, ws, kern, worker, next, a22, lda, given + j0 + jb, relative);
    };
    const Index items = 1 + rest.count();
    if (parallel) team.run(items, step); else team.run_here(items, step);
    jb = next;
    done = next_done;
  }
}

// --- Solves -----------------------------------------------------------------

// The blocks of a solve with many right-hand sides, in the order they are
// solved: from the top for L^-1 B, from the bottom for L^-T B.  The
// transposed solve runs on each diagonal block with its rows and columns
// reversed, where L_ii' is lower triangular, and X's rows lie reversed in
// its packed slivers.
struct SolveBlocks {
  Op op;
  Index n;
  const double* l;
  Index ldl;
  double* b;
  Index ldb;

  Index count() const { return ceil_div(n, solve_block); }
  Index first_row(Index step) const {
    return (op == Op::none ? step : count() - 1 - step) * solve_block;
  }
  Index rows(Index step) const { return std::min(solve_block, n - first_row(step)); }
  Source triangle(Index step) const {
    const Index i0 = first_row(step), i1 = i0 + rows(step);
    return op == Op::none ? Source{l + i0 + i0 * ldl, 1, ldl}
                          : Source{l + (i1 - 1) + (i1 - 1) * ldl, -ldl, -1};
  }
  Strided block(Index step) const {
    const Index i0 = first_row(step), i1 = i0 + rows(step);
    return op == Op::none ? Strided{b + i0, 1, ldb} : Strided{b + (i1 - 1), -1, ldb};
  }
  // Rows r0..r1 of B lose L(r0..r1, block) X (forward) or L(block, r0..r1)' X
  // (transposed) for the packed X of block `step`: a product's A and C.
  Source factor(Index step, Index r0) const {
    const Index i0 = first_row(step), i1 = i0 + rows(step);
    return op == Op::none ? Source{l + r0 + i0 * ldl, 1, ldl}
                          : Source{l + (i1 - 1) + r0 * ldl, ldl, -1};
  }
  double* target(Index r0) const { return b + r0; }
};

// X = L_ii^-1 B_i for the first `cols` columns of block `step`: its
// triangle packed into `triangle`, X packed into `x`.
void solve_diagonal_of(Team& team, const Kernels& kern, bool parallel, const SolveBlocks& blocks,
                 Index step, Index cols, double* triangle, double* x) {
  if (cols <= 0) return;
  const Index nb = blocks.rows(step);
  const double* rinv = pack_triangle(kern, nb, blocks.triangle(step), triangle);
  solve_diagonal(team, kern, parallel, nb, cols, triangle, rinv, blocks.block(step), x);
}

// One panel of w columns of B = L^-1 B or L^-T B, with one block of
// lookahead: block step's diagonal solve has left X_step packed in one half
// of the workspace panel; one region then updates the rows of the other
// blocks with it, its first item the rows of the next block, which it then
// solves into the other half, while the other items update the rest.
// active(i1) is the number of leading columns that can be nonzero in rows
// above i1 (w without a staircase; nondecreasing in i1).
template <class Active>
void solve_panel_columns(Team& team, Buffers& ws, const Kernels& kern, const SolveBlocks& blocks,
                         Index w, const Active& active) {
  const Index count = blocks.count();
  if (count == 0) return;
  const Index half = ws.panel_capacity / 2;
  double* const panels[2] = {ws.panel.get(), ws.panel.get() + half};
  double* const triangles[2] = {ws.triangle.get(), ws.next_triangle.get()};
  const auto columns = [&](Index step) {
    return blocks.op == Op::none ? active(blocks.first_row(step) + blocks.rows(step)) : w;
  };
  solve_diagonal_of(team, kern, detail::share(team, blocks.rows(0), blocks.rows(0), columns(0)),
                    blocks, 0, columns(0), triangles[0], panels[0]);
  for (Index step = 0; step + 1 < count; ++step) {
    if (team.cancelled()) return;
    const Index nb = blocks.rows(step), cols = columns(step), next_cols = columns(step + 1);
    const Index next_nb = blocks.rows(step + 1);
    double* x = panels[step % 2];
    double* next_x = panels[(step + 1) % 2];
    double* next_triangle = triangles[(step + 1) % 2];
    const Index stride = kern.nr * round_up(nb, kern.mr);
    // The rows below (forward) or above (transposed) block step, the next
    // block's first: head, then the rest.
    const Index head0 = blocks.first_row(step + 1);
    const Index rest0 = blocks.op == Op::none ? head0 + next_nb : 0;
    const Index rest_rows = blocks.op == Op::none ? blocks.n - rest0 : head0;
    const bool parallel = detail::share(team, rest_rows + next_nb, cols, nb);
    const detail::PanelProduct head(ws, kern, 1, next_nb, cols, nb, -1.0,
                                    blocks.factor(step, head0), x, stride, 1.0,
                                    detail::Target{blocks.target(head0), 1, blocks.ldb}, false, 0);
    const detail::PanelProduct rest(ws, kern, parallel ? team.size() : 1, rest_rows, cols, nb,
                                    -1.0, blocks.factor(step, rest0), x, stride, 1.0,
                                    detail::Target{blocks.target(rest0), 1, blocks.ldb}, false, 0);
    const auto item = [&](int worker, Index i) {
      if (i > 0) {
        rest.run(worker, i - 1);
        return;
      }
      head.run_all(worker);
      solve_diagonal_of(team, kern, false, blocks, step + 1, next_cols, next_triangle, next_x);
    };
    if (parallel) team.run(1 + rest.count(), item); else team.run_here(1 + rest.count(), item);
  }
}

template <class Active>
void solve_columns(Team& team, Buffers& ws, const Kernels& kern, Op op, Index n, Index k,
                   const double* l, Index ldl, double* b, Index ldb, const Active& active) {
  // Two packed X of up to solve_block rows share the workspace panel.
  const Index width = std::max<Index>(
      kern.nr, ws.panel_capacity / 2 / (kern.nr * round_up(solve_block, kern.mr)) * kern.nr);
  for (Index c0 = 0; c0 < k; c0 += width) {
    const Index w = std::min(width, k - c0);
    solve_panel_columns(team, ws, kern, SolveBlocks{op, n, l, ldl, b + c0 * ldb, ldb}, w,
                        [&](Index i1) { return active(c0, w, i1); });
  }
}

}  // namespace

Index cholesky(Team& team, DenseWorkspace& ws, Index n, double* a, Index lda,
               double relative_pivot) {
  check_matrix(n, n, lda);
  Buffers& buffers = buffers_for(ws, team, n);
  double* given = buffers.diagonal.get();
  for (Index j = 0; j < n; ++j) given[j] = a[j + j * lda];
  const Kernels& kern = detail::active_kernels();
  return factor_blocked(team, buffers, kern, n, a, lda, given, relative_pivot);
}

void solve_lower(Team& team, DenseWorkspace& ws, Op op, Index n, Index k, const double* l,
                 Index ldl, double* b, Index ldb) {
  check_matrix(n, n, ldl);
  check_matrix(n, k, ldb);
  Buffers& buffers = buffers_for(ws, team, 0);
  solve_columns(team, buffers, detail::active_kernels(), op, n, k, l, ldl, b, ldb,
                [](Index, Index w, Index) { return w; });
}

// Block i of the panel [c0, c0 + w) can be nonzero in the columns up to the
// last j with first[j] < i1.
void solve_lower_staircase(Team& team, DenseWorkspace& ws, Index n, Index k, const double* l,
                           Index ldl, double* b, Index ldb, const Index* first) {
  check_matrix(n, n, ldl);
  check_matrix(n, k, ldb);
  Buffers& buffers = buffers_for(ws, team, 0);
  solve_columns(team, buffers, detail::active_kernels(), Op::none, n, k, l, ldl, b, ldb,
                [&](Index c0, Index w, Index i1) {
                  Index count = 0;
                  for (Index j = 0; j < w; ++j)
                    if (first[c0 + j] < i1) count = j + 1;
                  return count;
                });
}

}  // namespace dense
}  // namespace tovrin
