// The blocked product that every dense algorithm runs on (dense.cpp), and
// the workspace's buffers.  Internal to the dense kernels.
#ifndef TOVRIN_GRAM_DENSE_ENGINE_H
#define TOVRIN_GRAM_DENSE_ENGINE_H

#include <cstddef>
#include <memory>
#include <new>

#include "common/team.h"
#include "gram/dense.h"
#include "gram/dense_kernels.h"

namespace tovrin {
namespace dense {
namespace detail {

// The largest micro-tile of any path; buffers are sized for it.
constexpr Index max_mr = 24;
constexpr Index max_nr = 8;
// Inner dimension of one packed block: a sliver of max_nr columns is 16 KiB
// and stays in the first-level cache while the panels of A stream by.
constexpr Index max_depth = 256;
// Rows of one packed block of A (768 KiB at full depth: half of a
// second-level cache).
constexpr Index max_rows_block = 384;
// Columns of the packed panel of B that a workspace holds at the least.
constexpr Index min_panel_columns = 512;
// The factorisation's blocks (dense_factor.cpp): columns of outer blocks,
// and of the blocks that factor each diagonal block on one thread.
constexpr Index factor_block = 192;
constexpr Index inner_factor_block = 24;
// Below this many multiply-adds a product runs on the calling thread: the
// cost of waking the team's helpers (some microseconds) would exceed the
// gain; and below the second, while the helpers have not started, since
// starting and ending one costs some 60 microseconds.
constexpr double parallel_products = 1 << 21;
constexpr double parallel_products_to_start = 1 << 24;

const Kernels& active_kernels();

// The texts of the std::invalid_argument that the kernels throw.
constexpr char bad_size_text[] =
    "dense kernel: a size is negative or a leading dimension too small";
constexpr char small_workspace_text[] = "dense kernel: the workspace is too small for this call";

// Throws bad_size_text unless rows, cols >= 0 and ld >= max(rows, 1) (a
// column-major rows x cols matrix).
void check_matrix(Index rows, Index cols, Index ld);

// Memory aligned to a cache line (and to a vector of every path), released
// with the owner.
constexpr std::size_t cache_line_bytes = 64;
struct AlignedDelete {
  void operator()(double* p) const { ::operator delete[](p, std::align_val_t(cache_line_bytes)); }
};
using AlignedArray = std::unique_ptr<double[], AlignedDelete>;
AlignedArray aligned_array(Index count);

}  // namespace detail

struct DenseWorkspace::Buffers {
  int team_size = 1;
  Index order = 0;
  Index panel_capacity = 0;      // doubles in `panel`
  Index rows_capacity = 0;       // doubles in each member's block of rows
  detail::AlignedArray rows;     // team_size blocks of packed rows of A
  detail::AlignedArray panel;    // packed columns of B (or of a solve's X)
  detail::AlignedArray triangle; // a packed diagonal block of L, then its reciprocals
  detail::AlignedArray next_triangle;  // the same for the next block of a solve
  detail::AlignedArray diagonal; // the factorisation's diagonal as given
  // The same two for factoring one diagonal block, which runs beside the
  // rest of a factorisation step.
  detail::AlignedArray inner_triangle;
  detail::AlignedArray inner_panel;

  double* rows_of(int worker) { return rows.get() + worker * rows_capacity; }
};

namespace detail {

// The workspace's buffers, after checking (small_workspace_text) that it was
// made for a team at least as large and for matrices of this order.
DenseWorkspace::Buffers& buffers_for(DenseWorkspace& ws, const Team& team, Index order);

// Element (i, j) at p[i*rs + j*cs].
struct Source {
  const double* p;
  Index rs, cs;
  const double* at(Index i, Index j) const { return p + i * rs + j * cs; }
};

// Element (i, j) at p[i*rs + j*cs], writable; one of rs, cs is 1.
struct Target {
  double* p;
  Index rs, cs;
  double* at(Index i, Index j) const { return p + i * rs + j * cs; }
  Target from(Index i, Index j) const { return Target{at(i, j), rs, cs}; }
};

// The inner dimension k cut into blocks of at most max_depth, of nearly
// equal sizes: block b is [bound(b), bound(b+1)).  Depends on k alone.
struct DepthBlocks {
  Index k, count;
  explicit DepthBlocks(Index k_) : k(k_), count((k_ + max_depth - 1) / max_depth) {}
  Index bound(Index b) const { return b * k / count; }
};

// C = beta C + alpha A B for A m x k, B k x n given as sources; lower: only
// c_ij with i >= j is written (then m = n).
struct Product {
  Index m, n, k;
  double alpha;
  Source a, b;
  double beta;
  double* c;
  Index ldc;
  bool lower;
};
void multiply(Team& team, DenseWorkspace::Buffers& ws, const Kernels& kern, const Product& p);

// How one depth block of a product is shared: row blocks of `rows` rows (a
// multiple of mr), each against column chunks of `slivers` slivers.
struct Grid {
  Index row_blocks, rows, chunks, slivers;
};

// One depth block of C = beta C + alpha A B (A m x k, k <= max_depth) with B
// packed: sliver s (nr columns) at packed_b + s*sliver_stride
// (sliver_stride >= nr*k), or, when b_source is given and there is a single
// row block, packed by the items themselves into the workspace panel (then
// packed_b is that panel and sliver_stride nr*k).  Its
// work is cut into count() items for `members` members; run(worker, item)
// does one with the buffers of that member.  lower keeps only the entries
// of C at or below the diagonal of the symmetric matrix in which C's row 0
// lies row_offset rows below its column 0.
class PanelProduct {
 public:
  PanelProduct(DenseWorkspace::Buffers& ws, const Kernels& kern, int members, Index m, Index n,
               Index k, double alpha, Source a, const double* packed_b, Index sliver_stride,
               double beta, Target c, bool lower, Index row_offset,
               const Source* b_source = nullptr);
  Index count() const { return grid_.row_blocks * grid_.chunks; }
  void run(int worker, Index item) const;
  // Runs every item on the calling thread, as `worker`.
  void run_all(int worker) const {
    for (Index item = 0; item < count(); ++item) run(worker, item);
  }

 private:
  DenseWorkspace::Buffers& ws_;
  const Kernels& kern_;
  Grid grid_;
  Index m_, n_, k_;
  double alpha_, beta_;
  Source a_;
  const Source* b_source_;
  const double* packed_b_;
  Index sliver_stride_;
  Target c_;
  bool lower_;
  Index row_offset_;
};

// Whether a product of m x n x k multiply-adds is worth the team's helpers
// (parallel_products, or parallel_products_to_start before they run).
bool share(const Team& team, Index m, Index n, Index k);

inline Index round_up(Index value, Index multiple) {
  return (value + multiple - 1) / multiple * multiple;
}
inline Index ceil_div(Index value, Index divisor) { return (value + divisor - 1) / divisor; }

}  // namespace detail
}  // namespace dense
}  // namespace tovrin

#endif  // TOVRIN_GRAM_DENSE_ENGINE_H
