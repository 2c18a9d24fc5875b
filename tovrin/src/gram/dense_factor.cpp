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

// Runs every item of the product, shared by the team or not.
void run_product(Team& team, bool parallel, const detail::PanelProduct& product) {
  const auto item = [&](int worker, Index i) { product.run(worker, i); };
  if (parallel) team.run(product.count(), item); else team.run_here(product.count(), item);
}

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
// block and factors it, the other items update the panel below that block
// and the rest, so that the diagonal's factorisation leaves the critical
// path.  Every entry takes the same operations in the same order as
// without lookahead.
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
    // A_22 in three parts: the next diagonal block (its lower triangle), the
    // next panel below it, and the rest of the lower triangle.
    const detail::PanelProduct diagonal(ws, kern, 1, next, next, jb, -1.0, Source{d + jb, 1, lda},
                                        ws.panel.get(), stride, 1.0, detail::Target{a22, 1, lda},
                                        true, 0);
    const detail::PanelProduct panel(ws, kern, members, below - next, next, jb, -1.0,
                                     Source{d + jb + next, 1, lda}, ws.panel.get(), stride, 1.0,
                                     detail::Target{a22 + next, 1, lda}, false, 0);
    const detail::PanelProduct rest(ws, kern, members, below - next, below - next, jb, -1.0,
                                    Source{d + jb + next, 1, lda},
                                    ws.panel.get() + next / kern.nr * stride, stride, 1.0,
                                    detail::Target{a22 + next + next * lda, 1, lda}, true, 0);
    Index next_done = 0;
    const auto step = [&](int worker, Index item) {
      if (item == 0) {
        diagonal.run_all(worker);
        next_done = factor_diagonal_block(team, ws, kern, worker, next, a22, lda, given + j0 + jb,
                                          relative);
      } else if (item <= panel.count()) {
        panel.run(worker, item - 1);
      } else {
        rest.run(worker, item - 1 - panel.count());
      }
    };
    const Index items = 1 + panel.count() + rest.count();
    if (parallel) team.run(items, step); else team.run_here(items, step);
    jb = next;
    done = next_done;
  }
}

// --- Solves -----------------------------------------------------------------

// One panel of columns [c0, c0 + w) of B = L^-1 B (forward) or L^-T B,
// block by block; active(i1) is the number of leading columns of the panel
// that can be nonzero in rows above i1 (w without a staircase).
template <class Active>
void solve_panel_columns(Team& team, Buffers& ws, const Kernels& kern, Op op, Index n,
                         const double* l, Index ldl, double* b, Index ldb, Index w,
                         const Active& active) {
  const Index blocks = ceil_div(n, solve_block);
  for (Index step = 0; step < blocks; ++step) {
    if (team.cancelled()) return;
    const Index block = op == Op::none ? step : blocks - 1 - step;
    const Index i0 = block * solve_block, i1 = std::min(n, i0 + solve_block), nb = i1 - i0;
    const Index cols = op == Op::none ? active(i1) : w;
    if (cols <= 0) continue;
    // The transposed solve runs on the block with its rows and columns
    // reversed, where L_ii' is lower triangular.
    const Source triangle = op == Op::none
                                ? Source{l + i0 + i0 * ldl, 1, ldl}
                                : Source{l + (i1 - 1) + (i1 - 1) * ldl, -ldl, -1};
    const Strided block_rows =
        op == Op::none ? Strided{b + i0, 1, ldb} : Strided{b + (i1 - 1), -1, ldb};
    const double* rinv = pack_triangle(kern, nb, triangle, ws.triangle.get());
    solve_diagonal(team, kern, detail::share(team, nb, nb, cols), nb, cols, ws.triangle.get(),
                   rinv, block_rows, ws.panel.get());
    const Index stride = kern.nr * round_up(nb, kern.mr);
    // Forward: B(i1..n) -= L(i1..n, i0..i1) X.  Transposed: B(0..i0) -=
    // L(i0..i1, 0..i0)' X, X's rows in reversed order.
    const Index rows = op == Op::none ? n - i1 : i0;
    const Source factor = op == Op::none ? Source{l + i1 + i0 * ldl, 1, ldl}
                                         : Source{l + (i1 - 1), ldl, -1};
    double* target = op == Op::none ? b + i1 : b;
    const bool parallel = detail::share(team, rows, cols, nb);
    run_product(team, parallel,
                detail::PanelProduct(ws, kern, parallel ? team.size() : 1, rows, cols, nb, -1.0,
                                     factor, ws.panel.get(), stride, 1.0,
                                     detail::Target{target, 1, ldb}, false, 0));
  }
}

template <class Active>
void solve_columns(Team& team, Buffers& ws, const Kernels& kern, Op op, Index n, Index k,
                   const double* l, Index ldl, double* b, Index ldb, const Active& active) {
  const Index width = std::max<Index>(
      kern.nr, ws.panel_capacity / (kern.nr * round_up(solve_block, kern.mr)) * kern.nr);
  for (Index c0 = 0; c0 < k; c0 += width) {
    const Index w = std::min(width, k - c0);
    solve_panel_columns(team, ws, kern, op, n, l, ldl, b + c0 * ldb, ldb, w,
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
