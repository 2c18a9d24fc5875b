// The instruction-set paths, the workspace, and the blocked product with the
// kernels built on it (gemm, syrk, the Gram and cross products); see dense.h.
#include "gram/dense.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "gram/dense_engine.h"

namespace tovrin {
namespace dense {

namespace {

using detail::ceil_div;
using detail::Kernels;
using detail::round_up;
using detail::Source;

constexpr char path_variable[] = "TOVRIN_DENSE_PATH";

const Kernels& kernels_of(Path path) {
  switch (path) {
#if defined(TOVRIN_DENSE_X86)
    case Path::avx512:
      return detail::avx512_kernels;
    case Path::avx2:
      return detail::avx2_kernels;
#endif
    default:
      return detail::portable_kernels;
  }
}

Path best_path() {
  if (path_supported(Path::avx512)) return Path::avx512;
  if (path_supported(Path::avx2)) return Path::avx2;
  return Path::portable;
}

// The path named by TOVRIN_DENSE_PATH when the processor runs it, else the
// best one.
Path initial_path() {
  const char* name = std::getenv(path_variable);
  if (name != nullptr) {
    for (Path path : {Path::portable, Path::avx2, Path::avx512})
      if (std::strcmp(name, path_name(path)) == 0 && path_supported(path)) return path;
  }
  return best_path();
}

std::atomic<int>& chosen_path() {
  static std::atomic<int> chosen{static_cast<int>(initial_path())};
  return chosen;
}

}  // namespace

bool path_supported(Path path) {
  switch (path) {
    case Path::portable:
      return true;
#if defined(TOVRIN_DENSE_X86)
    case Path::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Path::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
#endif
    default:
      return false;
  }
}

Path active_path() { return static_cast<Path>(chosen_path().load(std::memory_order_relaxed)); }

const char* path_name(Path path) {
  switch (path) {
    case Path::avx512:
      return "avx512";
    case Path::avx2:
      return "avx2";
    default:
      return "portable";
  }
}

bool use_path(Path path) {
  if (!path_supported(path)) return false;
  chosen_path().store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

namespace detail {

const Kernels& active_kernels() { return kernels_of(active_path()); }

void check_matrix(Index rows, Index cols, Index ld) {
  if (rows < 0 || cols < 0 || ld < std::max<Index>(rows, 1))
    throw std::invalid_argument(bad_size_text);
}

DenseWorkspace::Buffers& buffers_for(DenseWorkspace& ws, const Team& team, Index order) {
  if (ws.team_size() < team.size() || ws.order() < order)
    throw std::invalid_argument(small_workspace_text);
  return ws.buffers();
}

AlignedArray aligned_array(Index count) {
  const std::size_t doubles = static_cast<std::size_t>(count);
  return AlignedArray(new (std::align_val_t(cache_line_bytes)) double[doubles]);
}

}  // namespace detail

// The panel holds max_depth rows of at least `order` columns, which a
// factorisation's packed panel needs; the diagonal block with its padding
// and reciprocals takes the triangle buffer; the inner ones hold the same
// for the blocks of one diagonal block.
DenseWorkspace::DenseWorkspace(int team_size, Index order) : buffers_(new Buffers) {
  if (team_size < 1 || order < 0) throw std::invalid_argument(detail::bad_size_text);
  Buffers& b = *buffers_;
  b.team_size = team_size;
  b.order = order;
  b.rows_capacity = detail::max_rows_block * detail::max_depth;
  const Index columns = round_up(std::max(order, detail::min_panel_columns), detail::max_nr);
  b.panel_capacity = detail::max_depth * columns;
  const Index padded = detail::max_depth + detail::max_mr;
  const Index inner_padded = detail::inner_factor_block + detail::max_mr;
  b.rows = detail::aligned_array(b.rows_capacity * team_size);
  b.panel = detail::aligned_array(b.panel_capacity);
  b.triangle = detail::aligned_array(padded * padded + padded);
  b.next_triangle = detail::aligned_array(padded * padded + padded);
  b.diagonal = detail::aligned_array(std::max<Index>(order, 1));
  b.inner_triangle = detail::aligned_array(inner_padded * inner_padded + inner_padded);
  b.inner_panel = detail::aligned_array(inner_padded * (detail::factor_block + detail::max_nr));
}

DenseWorkspace::~DenseWorkspace() = default;
int DenseWorkspace::team_size() const { return buffers_->team_size; }
Index DenseWorkspace::order() const { return buffers_->order; }
DenseWorkspace::Buffers& DenseWorkspace::buffers() { return *buffers_; }

namespace detail {

namespace {

// A tile's diag when no diagonal crosses it: every r + diag >= q.
constexpr Index no_diagonal = max_nr;
// Slivers packed by one item of a packing region.
constexpr Index slivers_per_pack_item = 16;
// Items per member that a region is cut into, at the least: the members
// take them in turn, so that one slowed by another process on its core
// hands its share to the others.  A lower-triangular product's row blocks
// cost more the lower they lie; the largest go first and there are twice as
// many, so that the last items to end are small.
constexpr Index items_per_member = 4;
constexpr Index lower_items_per_member = 2 * items_per_member;
// A product with at most this many rows and more columns runs transposed,
// C' = B'A': its long side then streams through packed blocks of rows, and
// each sliver of its short side stays in the first-level cache.  Every
// entry takes the same products in the same order, so the same bits.
constexpr Index thin_rows = 4 * max_mr;

Grid plan_grid(const Kernels& kern, Index m, Index n, bool lower, int members) {
  Grid g;
  Index blocks = ceil_div(m, max_rows_block);
  if (members > 1) {
    blocks = lower ? std::max<Index>(blocks, lower_items_per_member * members)
                   : round_up(std::max<Index>(blocks, items_per_member * members), members);
  }
  g.rows = round_up(ceil_div(m, blocks), kern.mr);
  g.row_blocks = ceil_div(m, g.rows);
  const Index total_slivers = ceil_div(n, kern.nr);
  Index chunks = 1;
  if (members > 1 && g.row_blocks < items_per_member * members)
    chunks = std::min(total_slivers, ceil_div(items_per_member * members, g.row_blocks));
  g.slivers = ceil_div(total_slivers, chunks);
  g.chunks = ceil_div(total_slivers, g.slivers);
  return g;
}

// The tiles of C(i0.., j0..) from packed rows (rows x kc) and packed
// slivers (sliver s at packed_b + s*sliver_stride), rows first within each
// sliver so that the sliver stays in the first-level cache.  A transposed
// target takes tile_transposed.
void multiply_block(const Kernels& kern, Index rows, Index cols, Index kc, double alpha,
                    const double* packed_a, const double* packed_b, Index sliver_stride,
                    double beta, Target c, bool lower, Index diag) {
  const Index mr = kern.mr, nr = kern.nr;
  for (Index jr = 0; jr < cols; jr += nr) {
    const int n = static_cast<int>(std::min(nr, cols - jr));
    const double* b = packed_b + jr / nr * sliver_stride;
    for (Index ir = 0; ir < rows; ir += mr) {
      const int m = static_cast<int>(std::min(mr, rows - ir));
      const Index tile_diag = diag + ir - jr;
      if (lower && tile_diag + m - 1 < 0) continue;  // entirely above the diagonal
      const double* a = packed_a + ir * kc;
      if (c.rs == 1)
        kern.tile(kc, a, b, alpha, beta, c.at(ir, jr), c.cs, m, n, lower ? tile_diag : no_diagonal);
      else
        kern.tile_transposed(kc, a, b, alpha, beta, c.at(ir, jr), c.rs, m, n);
    }
  }
}

// One depth block of C = beta C + alpha A B with B from b_source: packed
// into the workspace panel that the row blocks share, by a region of its
// own (several row blocks) or by the items of its column chunks (one row
// block).
void multiply_panel(Team& team, DenseWorkspace::Buffers& ws, const Kernels& kern, bool parallel,
                    Index m, Index n, Index kc, double alpha, Source a, const Source& b_source,
                    double beta, Target c, bool lower) {
  const int members = parallel ? team.size() : 1;
  const PanelProduct product(ws, kern, members, m, n, kc, alpha, a, ws.panel.get(), kern.nr * kc,
                             beta, c, lower, 0, &b_source);
  const Index nr = kern.nr;
  if (plan_grid(kern, m, n, lower, members).row_blocks > 1) {
    const Index slivers = ceil_div(n, nr);
    const Index items = ceil_div(slivers, slivers_per_pack_item);
    double* panel = ws.panel.get();
    const auto pack = [&](int, Index item) {
      const Index j0 = item * slivers_per_pack_item * nr;
      const Index cols = std::min(slivers_per_pack_item * nr, n - j0);
      kern.pack_columns(kc, cols, b_source.at(0, j0), b_source.rs, b_source.cs, panel + j0 * kc);
    };
    if (members > 1) team.run(items, pack); else team.run_here(items, pack);
  }
  const auto compute = [&](int worker, Index item) { product.run(worker, item); };
  if (members > 1) team.run(product.count(), compute); else team.run_here(product.count(), compute);
}

// C = beta C over the m x n matrix (its lower triangle when lower).
void scale(Index m, Index n, double beta, double* c, Index ldc, bool lower) {
  for (Index j = 0; j < n; ++j)
    for (Index i = lower ? j : 0; i < m; ++i)
      c[i + j * ldc] = beta == 0.0 ? 0.0 : beta * c[i + j * ldc];
}

}  // namespace

bool share(const Team& team, Index m, Index n, Index k) {
  const double work = double(m) * double(n) * double(k);
  return team.size() > 1 &&
         work >= (team.helpers_started() ? parallel_products : parallel_products_to_start);
}

void multiply(Team& team, DenseWorkspace::Buffers& ws, const Kernels& kern, const Product& p) {
  if (p.m <= 0 || p.n <= 0) return;
  if (p.k == 0) {
    scale(p.m, p.n, p.beta, p.c, p.ldc, p.lower);
    return;
  }
  const bool transposed = !p.lower && p.m <= thin_rows && p.n > p.m;
  const Index m = transposed ? p.n : p.m, n = transposed ? p.m : p.n;
  const Source a = transposed ? Source{p.b.p, p.b.cs, p.b.rs} : p.a;
  const Source b = transposed ? Source{p.a.p, p.a.cs, p.a.rs} : p.b;
  const Target c = transposed ? Target{p.c, p.ldc, 1} : Target{p.c, 1, p.ldc};
  const DepthBlocks depth(p.k);
  const Index deepest = ceil_div(p.k, depth.count);
  const Index panel_width =
      std::max<Index>(kern.nr, ws.panel_capacity / deepest / kern.nr * kern.nr);
  const bool parallel = share(team, m, n, p.k);
  for (Index j0 = 0; j0 < n; j0 += panel_width) {
    const Index cols = std::min(panel_width, n - j0);
    const Index row0 = p.lower ? j0 : 0;
    for (Index block = 0; block < depth.count; ++block) {
      if (team.cancelled()) return;
      const Index p0 = depth.bound(block), kc = depth.bound(block + 1) - p0;
      const Source ab{a.at(row0, p0), a.rs, a.cs};
      const Source bb{b.at(p0, j0), b.rs, b.cs};
      multiply_panel(team, ws, kern, parallel, m - row0, cols, kc, p.alpha, ab, bb,
                     block == 0 ? p.beta : 1.0, c.from(row0, j0), p.lower);
    }
  }
}

PanelProduct::PanelProduct(DenseWorkspace::Buffers& ws, const Kernels& kern, int members, Index m,
                           Index n, Index k, double alpha, Source a, const double* packed_b,
                           Index sliver_stride, double beta, Target c, bool lower,
                           Index row_offset, const Source* b_source)
    : ws_(ws),
      kern_(kern),
      grid_(m > 0 && n > 0 && k > 0 ? plan_grid(kern, m, n, lower, members) : Grid{0, 0, 0, 0}),
      m_(m),
      n_(n),
      k_(k),
      alpha_(alpha), beta_(beta), a_(a), b_source_(grid_.row_blocks == 1 ? b_source : nullptr),
      packed_b_(packed_b), sliver_stride_(sliver_stride), c_(c), lower_(lower),
      row_offset_(row_offset) {}

void PanelProduct::run(int worker, Index item) const {
  const Grid& g = grid_;
  const Index nr = kern_.nr;
  const Index block = lower_ ? g.row_blocks - 1 - item / g.chunks : item / g.chunks;
  const Index chunk = item % g.chunks;
  const Index i0 = block * g.rows;
  const Index rows = std::min(g.rows, m_ - i0);
  const Index j0 = chunk * g.slivers * nr;
  Index j1 = std::min(n_, j0 + g.slivers * nr);
  if (lower_) j1 = std::min(j1, i0 + rows + row_offset_);
  if (j1 <= j0) return;
  const double* b = packed_b_ + j0 / nr * sliver_stride_;
  if (b_source_ != nullptr) {
    // This item's columns of the workspace panel, where packed_b_ points.
    double* own = ws_.panel.get() + j0 / nr * sliver_stride_;
    kern_.pack_columns(k_, j1 - j0, b_source_->at(0, j0), b_source_->rs, b_source_->cs, own);
  }
  double* packed_a = ws_.rows_of(worker);
  kern_.pack_rows(rows, k_, a_.at(i0, 0), a_.rs, a_.cs, packed_a);
  multiply_block(kern_, rows, j1 - j0, k_, alpha_, packed_a, b, sliver_stride_, beta_,
                 c_.from(i0, j0), lower_, row_offset_ + i0 - j0);
}

}  // namespace detail

namespace {

using detail::buffers_for;
using detail::check_matrix;
using detail::Product;

void check(bool ok) {
  if (!ok) throw std::invalid_argument(detail::bad_size_text);
}

// op(A)(i, p) for A stored column-major with leading dimension ld.
Source operand(Op op, const double* a, Index ld) {
  return op == Op::none ? Source{a, 1, ld} : Source{a, ld, 1};
}

// X(p, i) for X stored by columns or by rows: the transposed data matrix.
Source transposed(Layout layout, const double* x, Index ld) {
  return layout == Layout::columns ? Source{x, ld, 1} : Source{x, 1, ld};
}

// B(p, j) for B stored by columns or by rows.
Source plain(Layout layout, const double* b, Index ld) {
  return layout == Layout::columns ? Source{b, 1, ld} : Source{b, ld, 1};
}

constexpr Index mirror_tile = 32;

}  // namespace

void gemm(Team& team, DenseWorkspace& ws, Op op_a, Op op_b, Index m, Index n, Index k,
          double alpha, const double* a, Index lda, const double* b, Index ldb, double beta,
          double* c, Index ldc) {
  check_matrix(op_a == Op::none ? m : k, op_a == Op::none ? k : m, lda);
  check_matrix(op_b == Op::none ? k : n, op_b == Op::none ? n : k, ldb);
  check_matrix(m, n, ldc);
  const Product p{m, n, k, alpha, operand(op_a, a, lda), operand(op_b, b, ldb), beta, c, ldc,
                  false};
  detail::multiply(team, buffers_for(ws, team, 0), detail::active_kernels(), p);
}

void syrk(Team& team, DenseWorkspace& ws, Op op, Index n, Index k, double alpha, const double* a,
          Index lda, double beta, double* c, Index ldc) {
  check_matrix(op == Op::none ? n : k, op == Op::none ? k : n, lda);
  check_matrix(n, n, ldc);
  const Op other = op == Op::none ? Op::transpose : Op::none;
  const Product p{n, n, k, alpha, operand(op, a, lda), operand(other, a, lda), beta, c, ldc, true};
  detail::multiply(team, buffers_for(ws, team, 0), detail::active_kernels(), p);
}

// Tiles of mirror_tile x mirror_tile below the diagonal are copied onto
// their transposed places, one column of tiles per item.
void mirror_lower(Team& team, Index n, double* c, Index ldc) {
  check_matrix(n, n, ldc);
  const Index tiles = ceil_div(n, mirror_tile);
  const auto copy = [&](int, Index tile_column) {
    const Index j0 = tile_column * mirror_tile, j1 = std::min(n, j0 + mirror_tile);
    for (Index i0 = j0; i0 < n; i0 += mirror_tile) {
      const Index i1 = std::min(n, i0 + mirror_tile);
      for (Index j = j0; j < j1; ++j)
        for (Index i = std::max(i0, j + 1); i < i1; ++i) c[j + i * ldc] = c[i + j * ldc];
    }
  };
  if (detail::share(team, n, n, mirror_tile))
    team.run(tiles, copy);
  else
    team.run_here(tiles, copy);
}

void gram(Team& team, DenseWorkspace& ws, Layout layout, Index m, Index n, const double* x,
          Index ldx, double* g, Index ldg) {
  if (layout == Layout::columns) {
    syrk(team, ws, Op::transpose, n, m, 1.0, x, ldx, 0.0, g, ldg);
  } else {
    syrk(team, ws, Op::none, n, m, 1.0, x, ldx, 0.0, g, ldg);
  }
  mirror_lower(team, n, g, ldg);
}

void cross(Team& team, DenseWorkspace& ws, Layout x_layout, Index m, Index n, const double* x,
           Index ldx, Layout b_layout, Index k, const double* b, Index ldb, double* c, Index ldc) {
  check(m >= 0 && n >= 0 && k >= 0);
  check(ldx >= std::max<Index>(x_layout == Layout::columns ? m : n, 1));
  check(ldb >= std::max<Index>(b_layout == Layout::columns ? m : k, 1));
  check_matrix(n, k, ldc);
  const Product p{n, k, m, 1.0, transposed(x_layout, x, ldx), plain(b_layout, b, ldb), 0.0, c,
                  ldc, false};
  detail::multiply(team, buffers_for(ws, team, 0), detail::active_kernels(), p);
}

}  // namespace dense
}  // namespace tovrin
