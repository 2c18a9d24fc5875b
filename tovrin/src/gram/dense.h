// Dense linear algebra of the Gram method: products, the Cholesky
// factorisation and triangular solves on column-major matrices, blocked for
// the caches, vectorised for the processor and shared by a Team.
//
// Storage: a matrix is column-major with a leading dimension (element (i, j)
// of A at a[i + j*lda], lda >= its rows); where a data matrix may also come
// row-major (NumPy's C order), a Layout says which.  L is lower triangular,
// n x n; only its lower triangle is read.  Sizes and leading dimensions are
// Index values; every size may be 0.
//
// Arithmetic.  Each kernel fixes, per instruction-set path, the order of
// the operations that form every entry, independently of the team's size
// and of how the work is shared, so its results are the same bits whatever
// the team size.  An entry of a product, c_ij = beta c_ij + alpha sum_p
// a_ip b_pj, is formed as follows: the p are cut into consecutive blocks of
// at most 256, nearly equal, whose bounds depend on the inner dimension
// alone; within a block t = sum a_ip b_pj accumulates in increasing p, from
// zero;
// then c_ij = alpha t + beta c_ij for the first block and alpha t + c_ij for
// the others.  So column j of a product (gemm, cross) has the same bits
// whatever the number of columns and its place among them.  The AVX-512 and
// AVX2 paths fuse each multiply-add (one rounding); the portable path rounds
// the product and the sum; results differ between paths.  beta = 0 sets C
// without reading it (a NaN there does not propagate).
//
// Work and threads: kernels use the team's members for problems large enough
// to share, and the calling thread alone otherwise; they allocate nothing
// (the DenseWorkspace holds every buffer) and start no thread of their own
// (a team starts its helpers at its first shared region).  A kernel
// that finds its team cancelled returns early, its output unspecified.  A
// workspace too small for the call, or made for a smaller team, is reported
// by std::invalid_argument before anything is written.
#ifndef TOVRIN_GRAM_DENSE_H
#define TOVRIN_GRAM_DENSE_H

#include <cstddef>
#include <memory>

#include "common/team.h"

namespace tovrin {
namespace dense {

using Index = std::ptrdiff_t;

enum class Op { none, transpose };
enum class Layout { columns, rows };  // column-major (Fortran order), row-major (C order)

// The instruction-set paths, all compiled in; the best one that the
// processor runs is chosen at the first call, unless the environment
// variable TOVRIN_DENSE_PATH (portable, avx2, avx512) names a supported one.
enum class Path { portable, avx2, avx512 };

bool path_supported(Path path);
Path active_path();
const char* path_name(Path path);
// Makes `path` the active one for every later call (tests); returns false,
// changing nothing, when the processor cannot run it.  Not to be called
// while a kernel runs.
bool use_path(Path path);

// The buffers of the kernels' calls with one team: per member, a block of
// packed rows; shared, a panel of packed columns (max(order, 512) wide) and
// the factorisation's scratch.  order bounds the n of cholesky.  Made once
// per call, before the kernels run; about 8 * (256 * max(order, 512) +
// 98304 * team_size + order + 170000) bytes, of which a small problem
// touches little.
class DenseWorkspace {
 public:
  DenseWorkspace(int team_size, Index order);
  ~DenseWorkspace();
  DenseWorkspace(const DenseWorkspace&) = delete;
  DenseWorkspace& operator=(const DenseWorkspace&) = delete;

  int team_size() const;
  Index order() const;
  struct Buffers;
  Buffers& buffers();

 private:
  std::unique_ptr<Buffers> buffers_;
};

// C = beta C + alpha op(A) op(B); C is m x n, op(A) m x k, op(B) k x n.
void gemm(Team& team, DenseWorkspace& ws, Op op_a, Op op_b, Index m, Index n, Index k,
          double alpha, const double* a, Index lda, const double* b, Index ldb, double beta,
          double* c, Index ldc);

// The lower triangle of C = beta C + alpha A A' (op none, A n x k) or
// alpha A'A (op transpose, A k x n); the strictly upper triangle of C is
// neither read nor written.
void syrk(Team& team, DenseWorkspace& ws, Op op, Index n, Index k, double alpha, const double* a,
          Index lda, double beta, double* c, Index ldc);

// Copies the strictly lower triangle of the n x n matrix C onto its upper
// one: c_ji = c_ij for i > j.
void mirror_lower(Team& team, Index n, double* c, Index ldc);

// The Gram matrix G = X'X (n x n, both triangles) of the m x n data matrix X
// stored by columns (ldx >= m) or by rows (ldx >= n).
void gram(Team& team, DenseWorkspace& ws, Layout layout, Index m, Index n, const double* x,
          Index ldx, double* g, Index ldg);

// The cross product C = X'B (n x k) of the m x n data matrix X and the m x k
// matrix B, each stored by columns or by rows.
void cross(Team& team, DenseWorkspace& ws, Layout x_layout, Index m, Index n, const double* x,
           Index ldx, Layout b_layout, Index k, const double* b, Index ldb, double* c, Index ldc);

// A = L L' in place, on the lower triangle of the n x n matrix A (the
// strictly upper triangle is neither read nor written).  Column j's pivot^2,
// a_jj - sum_{p<j} l_jp^2, must be above relative_pivot * (a_jj as given)
// and above 0; at the first column where it is not (a NaN included) the
// factorisation stops and returns j, columns 0..j-1 holding those of L and
// the rest of the lower triangle intermediate values.  Returns n when every
// column succeeds.  n <= ws.order().
Index cholesky(Team& team, DenseWorkspace& ws, Index n, double* a, Index lda,
               double relative_pivot);

// B = L^-1 B (op none) or B = L^-T B (op transpose), B n x k.
void solve_lower(Team& team, DenseWorkspace& ws, Op op, Index n, Index k, const double* l,
                 Index ldl, double* b, Index ldb);

// B = L^-1 B where column j of B is zero above row first[j] (rows
// 0..first[j]-1): so are the columns of L^-1 B, and the blocks of rows that
// are zero in a column are skipped.  The saving is largest when first is
// nondecreasing (the columns of L^-1 E_H for the unit vectors e_h, h in H
// increasing); any order gives the same result.
void solve_lower_staircase(Team& team, DenseWorkspace& ws, Index n, Index k, const double* l,
                           Index ldl, double* b, Index ldb, const Index* first);

// y = beta y + alpha op(A) x for the m x n matrix A.  y_i (op none) is
// beta y_i, then y_i + a_ij (alpha x_j) for j = 0..n-1 in turn; y_j (op
// transpose) is alpha (a_j' x) + beta y_j with a_j' x summed in lanes whose
// count is fixed by the path.
void gemv(Team& team, Op op, Index m, Index n, double alpha, const double* a, Index lda,
          const double* x, double beta, double* y);

// x = L^-1 x (op none) or x = L^-T x (op transpose) for one vector.
void solve_lower_vector(Team& team, Op op, Index n, const double* l, Index ldl, double* x);

}  // namespace dense
}  // namespace tovrin

#endif  // TOVRIN_GRAM_DENSE_H
