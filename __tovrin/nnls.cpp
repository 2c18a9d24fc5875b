// Non-negative least squares (Lawson and Hanson's NNLS), the Householder
// and Givens routines it is built on; the vector kernels are in kernels.cpp.
//
// Arithmetic contract: every running sum has one accumulator and adds its
// terms one at a time in increasing index order, and every product is rounded
// before it is added.  The build disables floating-point contraction so that
// no fused multiply-add changes a rounding; nothing here may be reassociated.
// Comparisons are written in the direction the algorithm states them, since
// that direction decides where a NaN goes.
#include "nnls.h"

#include "kernels.h"
#include "solve.h"

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <new>

namespace {

using std::int32_t;
using std::int64_t;
using tovrin::block_columns;
using tovrin::ColumnKernels;
using tovrin::substitution_columns;

constexpr double zero = 0.0;
constexpr double one = 1.0;
constexpr double two = 2.0;      // start value of the step length: "no step"
constexpr double factor = 0.01;  // scale of the independence test

// Integer constants passed by reference to h12.
constexpr int32_t construct = 1;
constexpr int32_t apply = 2;
constexpr int32_t unit = 1;
constexpr int32_t none = 0;

// Size m*n from which the by-reference entry gives the run the look-ahead's
// work space (see lookahead_pays).
constexpr int64_t lookahead_min_size = 64 * 64;
// Columns up to which the by-reference entry keeps the look-ahead's work
// space on its stack: 2 * 4096 doubles, 64 KiB.
constexpr int32_t lookahead_stack_columns = 4096;

// The line written when the iteration limit stops the solver.
constexpr char iteration_limit_text[] = "\n NNLS quitting on iteration count.\n";

// 1-based view of a column-major matrix with leading dimension mda.  Offsets
// are 64-bit: mda*n may exceed the range of a 32-bit integer.
class ColumnMajor {
 public:
  ColumnMajor(double* first, int32_t mda) : first_(first), mda_(mda) {}
  double& operator()(int32_t i, int32_t j) const {
    return first_[(i - 1) + static_cast<int64_t>(j - 1) * mda_];
  }
  double* column(int32_t j) const { return &(*this)(1, j); }

 private:
  double* first_;
  int64_t mda_;
};

// 1-based view of a vector, so that the code reads as the algorithm does.
template <typename T>
class OneBased {
 public:
  explicit OneBased(T* first) : first_(first) {}
  T& operator[](int32_t i) const { return first_[i - 1]; }
  T* first() const { return first_; }

 private:
  T* first_;
};

void report_iteration_limit() {
  std::fputs(iteration_limit_text, stdout);
  std::fflush(stdout);
}

// The pivot of a Householder reflection of h12: s = u(lpivot) after the
// construction and up = u_p - s.
struct HouseholderPivot {
  double s = zero;
  double up = zero;
};

// Largest magnitude of (u_p, u(1..len)), scanned in index order: a NaN
// replaces cl, and the next element replaces that NaN in turn.  Without a
// NaN the scan is the maximum of values >= +0, whatever their order, so a
// long contiguous vector is scanned in several independent chains, and only
// one holding a NaN is scanned again in order.
double largest_magnitude(double u_p, const double* below, int64_t len,
                         int64_t stride) {
  constexpr int chains = 8;
  double cl = std::fabs(u_p);
  if (stride == 1 && len >= 4 * chains && !std::isnan(cl)) {
    double part[chains];
    for (double& c : part) c = cl;
    bool nan = false;
    int64_t k = 0;
    for (; k + chains <= len; k += chains) {
      for (int c = 0; c < chains; ++c) {
        const double mag = std::fabs(below[k + c]);
        nan = nan || std::isnan(mag);
        part[c] = part[c] > mag ? part[c] : mag;
      }
    }
    for (; k < len; ++k) {
      const double mag = std::fabs(below[k]);
      nan = nan || std::isnan(mag);
      part[0] = part[0] > mag ? part[0] : mag;
    }
    if (!nan) {
      for (double c : part) cl = cl > c ? cl : c;
      return cl;
    }
    cl = std::fabs(u_p);
  }
  for (int64_t k = 0; k < len; ++k) {
    const double mag = std::fabs(below[k * stride]);
    if (!(cl > mag)) cl = mag;
  }
  return cl;
}

// The pivot of the reflection that h12 constructs for the vector (u_p,
// u(1), ..., u(len)), u(k) at below[(k-1)*stride]: s with |s| its Euclidean
// norm and the sign opposite to u_p's (positive for u_p = 0), and
// up = u_p - s.  Returns false, computing nothing, for a zero vector.
bool householder_pivot(double u_p, const double* below, int64_t len,
                       int64_t stride, HouseholderPivot& pivot) {
  double cl = largest_magnitude(u_p, below, len, stride);
  if (cl <= zero) return false;

  // Sum of squares scaled by the largest magnitude, so that it neither
  // overflows nor underflows; pivot term first, then the rest in order.
  const double clinv = one / cl;
  const double scaled_pivot = u_p * clinv;
  double sm = scaled_pivot * scaled_pivot;
  for (int64_t k = 0; k < len; ++k) {
    const double scaled = below[k * stride] * clinv;
    sm = sm + scaled * scaled;
  }
  cl = cl * std::sqrt(sm);
  // The sign opposite to the pivot's, so that up = u_p - s involves no
  // cancellation.
  if (!(u_p <= zero)) cl = -cl;
  pivot.s = cl;
  pivot.up = u_p - cl;
  return true;
}


// Dual vector over Z: w(j) = sum over rows npp1..m of a(l, j)*b(l), each sum
// from zero in increasing row order, for the columns index(iz1..iz2).
void dual_vector(const ColumnKernels& kern, const ColumnMajor& a,
                 const OneBased<double>& b, const OneBased<double>& w,
                 const OneBased<int32_t>& index, int32_t iz1, int32_t iz2,
                 int32_t npp1, int32_t m) {
  const int64_t len = static_cast<int64_t>(m) - npp1 + 1;
  double* col[block_columns];
  double sm[block_columns];
  for (int32_t iz = iz1; iz <= iz2; iz += block_columns) {
    const int32_t count = iz2 - iz + 1 < block_columns ? iz2 - iz + 1 : block_columns;
    for (int32_t k = 0; k < count; ++k) {
      col[k] = &a(npp1, index[iz + k]);
      sm[k] = zero;
    }
    kern.add_dots(col, count, &b[npp1], len, sm);
    for (int32_t k = 0; k < count; ++k) w[index[iz + k]] = sm[k];
  }
}

// The reflection built on column j with pivot row p = nsetp: u(p) = s and
// up = u_p - s, rows p+1..m of column j holding the rest of the Householder
// vector v.  Applied to a column c it gives the results of h12 in mode 2 with
// lpivot = p, l1 = p+1, ice = 1: sm = c(p)*up + sum over rows p+1..m of
// c(l)*v(l) in order; a column with sm = 0 is left alone, otherwise
// sm = sm*(1/(up*s)) and c = c + sm*v.
class Reflection {
 public:
  Reflection(const ColumnMajor& a, int32_t j, double up, int32_t p, int32_t m)
      : a_(a), up_(up), p_(p), len_(static_cast<int64_t>(m) - p) {
    // Nothing happens unless there is a row below the pivot and up*s < 0
    // (which also excludes s = 0 and a NaN product).
    if (p < m) {
      const double bb = up * a(p, j);
      if (bb < zero) {
        inverse_ = one / bb;
        v_ = &a(p + 1, j);
      }
    }
  }

  bool acts() const { return v_ != nullptr; }
  int64_t rows_below_pivot() const { return len_; }

  // For the columns jc(0..count-1): below[k] = their rows p+1..m and
  // dot[k] = v'c.  A column with dot = 0 is left alone.
  void dots(const ColumnKernels& kern, const int32_t* jc, int32_t count,
            double** below, double* dot) const {
    for (int32_t k = 0; k < count; ++k) {
      double* pivot = &a_(p_, jc[k]);
      below[k] = pivot + 1;
      dot[k] = *pivot * up_;
    }
    kern.add_dots(below, count, v_, len_, dot);
  }

  // The multiple of v the reflection adds to a column with v'c = dot != 0.
  double scale(double dot) const { return dot * inverse_; }

  // Pivot element of column jc: c(p) = c(p) + scale*up.
  void update_pivot(int32_t jc, double scale) const {
    double& pivot = a_(p_, jc);
    pivot = updated_pivot(pivot, scale);
  }
  double updated_pivot(double pivot, double scale) const {
    return pivot + scale * up_;
  }

  const double* v() const { return v_; }

 private:
  const ColumnMajor& a_;
  double up_;
  double inverse_ = zero;  // 1/(up*s)
  const double* v_ = nullptr;
  int32_t p_;
  int64_t len_;
};

// Columns index(iz..iz+count-1) of Z, at most block_columns of them.
int32_t next_block(const OneBased<int32_t>& index, int32_t iz, int32_t iz2,
                   int32_t* jc) {
  const int32_t count = iz2 - iz + 1 < block_columns ? iz2 - iz + 1 : block_columns;
  for (int32_t k = 0; k < count; ++k) jc[k] = index[iz + k];
  return count;
}

// Applies the reflection to the columns index(iz1..iz2), block by block so
// that the second pass over a column finds it still in cache.
void reflect_columns(const ColumnKernels& kern, const Reflection& q,
                     const OneBased<int32_t>& index, int32_t iz1,
                     int32_t iz2) {
  if (!q.acts()) return;
  int32_t jc[block_columns];
  double* below[block_columns];
  double dot[block_columns];
  for (int32_t iz = iz1; iz <= iz2; iz += block_columns) {
    const int32_t count = next_block(index, iz, iz2, jc);
    q.dots(kern, jc, count, below, dot);
    for (int32_t k = 0; k < count; ++k) {
      if (dot[k] == zero) continue;  // orthogonal to v: the column stays
      const double scale = q.scale(dot[k]);
      q.update_pivot(jc[k], scale);
      kern.add_scaled(below[k], q.v(), q.rows_below_pivot(), scale);
    }
  }
}

// The reflection of reflect_columns followed by the next dual vector over
// the same columns, w(j) = sum over rows p+1..m of a(l, j)*b(l) from zero in
// row order, as dual_vector with npp1 = p+1 computes it.  Each column's sum
// is formed in the pass that updates its rows, reading each value just
// written; a column the reflection leaves alone is only summed.
void reflect_columns_and_dual(const ColumnKernels& kern, const Reflection& q,
                              const ColumnMajor& a, const OneBased<double>& b,
                              const OneBased<double>& w,
                              const OneBased<int32_t>& index, int32_t iz1,
                              int32_t iz2, int32_t p, int32_t m) {
  if (!q.acts()) {
    dual_vector(kern, a, b, w, index, iz1, iz2, p + 1, m);
    return;
  }
  const double* rhs = &b[p + 1];
  const int64_t len = q.rows_below_pivot();
  int32_t jc[block_columns];
  double* below[block_columns];
  double dot[block_columns];
  for (int32_t iz = iz1; iz <= iz2; iz += block_columns) {
    const int32_t count = next_block(index, iz, iz2, jc);
    q.dots(kern, jc, count, below, dot);
    // Reflected columns first, then the ones it leaves alone; the sums of
    // separate columns are independent, so the split changes no result.
    int32_t moved[block_columns];
    double* col[block_columns];
    double multiple[block_columns];
    double sm[block_columns];
    int32_t reflected = 0;
    int32_t kept = block_columns;
    for (int32_t k = 0; k < count; ++k) {
      if (dot[k] == zero) {
        --kept;
        moved[kept] = jc[k];
        col[kept] = below[k];
      } else {
        multiple[reflected] = q.scale(dot[k]);
        q.update_pivot(jc[k], multiple[reflected]);
        moved[reflected] = jc[k];
        col[reflected] = below[k];
        ++reflected;
      }
    }
    for (int32_t k = 0; k < block_columns; ++k) sm[k] = zero;
    kern.add_scaled_and_dots(col, multiple, reflected, q.v(), rhs, len, sm);
    kern.add_dots(col + kept, block_columns - kept, rhs, len, sm + kept);
    for (int32_t k = 0; k < reflected; ++k) w[moved[k]] = sm[k];
    for (int32_t k = kept; k < block_columns; ++k) w[moved[k]] = sm[k];
  }
}

// Asks the cache for the triangle of the block of columns of R that ends at
// position q: the rows near the diagonal, which the chain of divisions of
// the back-substitution reads one after the other.  Which columns those are
// is known only from index, so no hardware prefetcher can find them.
void prefetch_triangle(const ColumnMajor& a, const OneBased<int32_t>& index,
                       int32_t q) {
  const int32_t lo = q > substitution_columns ? q - substitution_columns + 1 : 1;
  for (int32_t t = q; t >= lo; --t) {
    const double* r = a.column(index[t]);
    __builtin_prefetch(r + t - 1);
    __builtin_prefetch(r + lo - 1);
  }
}

// Back-substitution R*z = zz(1..nsetp), column by column: the columns
// index(1..nsetp) hold R in rows 1..nsetp.  z(q) = zz(q)/R(q, q), then
// zz(1..q-1) = zz(1..q-1) - R(1..q-1, q)*z(q), for q = nsetp down to 1: every
// element takes its subtractions in decreasing q.  The columns go in blocks
// of substitution_columns: within a block the triangle is solved element by
// element, and the rows above it then take the block's subtractions in one
// pass over zz, its columns streaming side by side.  Reads nothing below row
// nsetp.
void triangular_solve(const ColumnKernels& kern, const ColumnMajor& a,
                      const OneBased<double>& zz,
                      const OneBased<int32_t>& index, int32_t nsetp) {
  const double* column[substitution_columns];
  double z[substitution_columns];
  prefetch_triangle(a, index, nsetp);
  // Invariant at the loop head: z(q+1..nsetp) are final in zz, and rows
  // 1..q have taken the subtractions of the columns after q.
  for (int32_t q = nsetp; q > 0;) {
    const int32_t lo = q > substitution_columns ? q - substitution_columns + 1 : 1;
    prefetch_triangle(a, index, lo - 1);
    for (int32_t t = q; t >= lo; --t) {
      const double* r = a.column(index[t]);
      zz[t] = zz[t] / r[t - 1];
      for (int32_t i = lo; i < t; ++i) zz[i] = zz[i] - r[i - 1] * zz[t];
      column[q - t] = r;
      z[q - t] = zz[t];
    }
    kern.subtract_scaled_columns(&zz[1], column, z, q - lo + 1, lo - 1);
    q = lo - 1;
  }
}

// ---------------------------------------------------------------------------
// Look-ahead.  The pass that applies the reflection of pivot row p to Z and
// forms the next dual vector reads every column of Z once; the next
// reflection, of pivot row p+1, then needs v'c for every column of Z before
// it can change any of them, which costs a second read of all of Z.  The
// look-ahead forms those dot products in the first pass.  The next
// reflection is built on the column that the next candidate search will
// pick, the largest positive w over Z; w itself is not known until the pass
// ends, but its value up to rounding is: the reflection is orthogonal on
// rows p..m, so w over rows p+1..m is the previous w over rows p..m less the
// product of row p, c(p)*b(p), once the pivot rows are updated.  The column
// with the largest such value is reflected first, the next reflection is
// built from it (its pivot s and up, as h12 would form them), and every
// other column of Z then forms, in the pass that updates it, both its dual
// and its dot product with the next reflection's vector.  When the search
// does pick that column, the reflection is built from the same values and
// the dot products are the ones the next pass would form; otherwise they
// are dropped.  A prediction decides only which work is done, never a value.
// ---------------------------------------------------------------------------

// The dot products v'c of the next reflection for the columns of Z, the
// values c(p) of their next pivot row, and the pivot that reflection will be
// built with.
class Lookahead {
 public:
  // storage: lookahead_size(n) doubles, or null for no look-ahead.
  Lookahead(double* storage, int32_t n)
      : dots_(storage), pivot_rows_(storage == nullptr ? nullptr : storage + n) {}

  bool enabled() const { return dots_.first() != nullptr; }
  // Whether dot(c) holds v'c for every column c of Z of the reflection
  // built on column j, the next one of P.
  bool holds(int32_t j) const { return column_ == j; }
  // The pivot element s and up = u_p - s of the reflection built on the
  // column held.
  const HouseholderPivot& pivot() const { return pivot_; }

  double& dot(int32_t c) const { return dots_[c]; }
  // c(p) of column c, p the pivot row of the reflection the dots belong to,
  // before that reflection.
  double& pivot_row(int32_t c) const { return pivot_rows_[c]; }
  void hold(int32_t j, const HouseholderPivot& pivot) {
    column_ = j;
    pivot_ = pivot;
  }
  void drop() { column_ = 0; }

  // Passes over Z alternate their direction, so that each starts on the
  // columns the previous one left in cache.
  bool next_pass_forward() {
    forward_ = !forward_;
    return forward_;
  }

 private:
  OneBased<double> dots_;
  OneBased<double> pivot_rows_;
  int32_t column_ = 0;  // 0: nothing held
  HouseholderPivot pivot_;
  bool forward_ = false;
};

// The positions iz1..iz2 of Z in blocks of at most block_columns, visited
// first to last or last to first.
class ZBlocks {
 public:
  ZBlocks(int32_t iz1, int32_t iz2, bool forward)
      : iz1_(iz1), iz2_(iz2), count_((iz2 - iz1 + block_columns) / block_columns),
        forward_(forward) {}
  int32_t count() const { return count_; }
  // First and last position of the k-th block visited.
  int32_t first(int32_t k) const {
    return iz1_ + (forward_ ? k : count_ - 1 - k) * block_columns;
  }
  int32_t last(int32_t k) const {
    const int32_t end = first(k) + block_columns - 1;
    return end < iz2_ ? end : iz2_;
  }

 private:
  int32_t iz1_, iz2_, count_;
  bool forward_;
};

// Asks the cache for the pivot rows p of the columns of block k, which the
// pass updates one column at a time before their rows below: their columns
// are found through index, where no hardware prefetcher looks.
void prefetch_pivot_rows(const ColumnMajor& a, const OneBased<int32_t>& index,
                         const ZBlocks& blocks, int32_t k, int32_t p) {
  for (int32_t iz = blocks.first(k); iz <= blocks.last(k); ++iz) {
    __builtin_prefetch(&a(p, index[iz]));
  }
}

// dot(c) = v'c for the columns of Z, as Reflection::dots forms it.
void all_dots(const ColumnKernels& kern, const Reflection& q,
              const OneBased<int32_t>& index, int32_t iz1, int32_t iz2,
              Lookahead& ahead) {
  int32_t jc[block_columns];
  double* below[block_columns];
  double dot[block_columns];
  const ZBlocks blocks(iz1, iz2, ahead.next_pass_forward());
  for (int32_t k = 0; k < blocks.count(); ++k) {
    const int32_t count = next_block(index, blocks.first(k), blocks.last(k), jc);
    q.dots(kern, jc, count, below, dot);
    for (int32_t c = 0; c < count; ++c) {
      ahead.dot(jc[c]) = dot[c];
      ahead.pivot_row(jc[c]) = below[c][-1];
    }
  }
}

// The reflection q with dot(c) = v'c in hand, for the columns of Z where it
// acts alone (the dual vector is formed later, over other rows).
void reflect_columns_with_dots(const ColumnKernels& kern, const Reflection& q,
                               const ColumnMajor& a,
                               const OneBased<int32_t>& index, int32_t iz1,
                               int32_t iz2, const Lookahead& ahead, int32_t p) {
  if (!q.acts()) return;
  for (int32_t iz = iz1; iz <= iz2; ++iz) {
    const int32_t c = index[iz];
    const double dot = ahead.dot(c);
    if (dot == zero) continue;  // orthogonal to v: the column stays
    const double scale = q.scale(dot);
    q.update_pivot(c, scale);
    kern.add_scaled(&a(p + 1, c), q.v(), q.rows_below_pivot(), scale);
  }
}

// The candidate that the search after this pass is expected to pick: the
// largest positive w(c) - c(p)*b(p) over Z, the lowest position winning
// ties, with c(p) after the reflection; 0 when there is none.  c(p) is
// formed from the look-ahead's record as the reflection will form it, so
// that the prediction reads no column.
int32_t predicted_candidate(const Reflection& q, const OneBased<double>& b,
                            const OneBased<double>& w,
                            const OneBased<int32_t>& index, int32_t iz1,
                            int32_t iz2, int32_t p, const Lookahead& ahead) {
  double wmax = zero;
  int32_t best = 0;
  for (int32_t iz = iz1; iz <= iz2; ++iz) {
    const int32_t c = index[iz];
    const double dot = ahead.dot(c);
    const double pivot = dot == zero ? ahead.pivot_row(c)
                                     : q.updated_pivot(ahead.pivot_row(c), q.scale(dot));
    const double predicted = w[c] - pivot * b[p];
    if (predicted > wmax) {
      wmax = predicted;
      best = c;
    }
  }
  return best;
}

// One column of Z through the pass on its own: reflected when its dot
// product is not zero, and its dual formed from zero over rows p+1..m.
void reflect_one_and_dual(const ColumnKernels& kern, const Reflection& q,
                          const ColumnMajor& a, const OneBased<double>& b,
                          const OneBased<double>& w, const Lookahead& ahead,
                          int32_t c, int32_t p) {
  double* col = &a(p + 1, c);
  double sm = zero;
  const double dot = ahead.dot(c);
  if (dot == zero) {
    kern.add_dots(&col, 1, &b[p + 1], q.rows_below_pivot(), &sm);
  } else {
    const double scale = q.scale(dot);
    kern.add_scaled_and_dots(&col, &scale, 1, q.v(), &b[p + 1],
                             q.rows_below_pivot(), &sm);
  }
  w[c] = sm;
}

// The pass of reflect_columns_and_dual with the look-ahead: applies q (pivot
// row p) to the columns of Z and forms their dual vector over rows p+1..m,
// reading v'c from the look-ahead when it holds them (or forming them first
// when it does not), and leaves the look-ahead holding the dot products of
// the reflection that will be built on the predicted candidate, with pivot
// row p+1.
void reflect_columns_and_dual_ahead(const ColumnKernels& kern,
                                    const Reflection& q, int32_t j,
                                    const ColumnMajor& a,
                                    const OneBased<double>& b,
                                    const OneBased<double>& w,
                                    const OneBased<int32_t>& index, int32_t iz1,
                                    int32_t iz2, int32_t p, int32_t m,
                                    Lookahead& ahead) {
  if (!q.acts()) {
    ahead.drop();
    dual_vector(kern, a, b, w, index, iz1, iz2, p + 1, m);
    return;
  }
  if (!ahead.holds(j)) all_dots(kern, q, index, iz1, iz2, ahead);
  ahead.drop();

  // The predicted candidate first: reflected, its dual formed, and the next
  // reflection's pivot built from rows p+1..m, the next pivot row p+1 first.
  // The next reflection acts only where rows lie below that pivot row.
  const int32_t next =
      p + 1 < m ? predicted_candidate(q, b, w, index, iz1, iz2, p, ahead) : 0;
  HouseholderPivot pivot;
  bool looking_ahead = false;
  double* u = nullptr;
  double saved_pivot = zero;
  if (next != 0) {
    const double dot = ahead.dot(next);
    if (dot != zero) q.update_pivot(next, q.scale(dot));
    reflect_one_and_dual(kern, q, a, b, w, ahead, next, p);
    u = &a(p + 1, next);
    looking_ahead = householder_pivot(*u, u + 1, q.rows_below_pivot() - 1, 1, pivot);
  }
  // While the pass runs, the next candidate's pivot row holds up, so that u
  // is the next reflection's vector (up, rows p+2..m) and each of its dot
  // products starts with the pivot term c(p+1)*up, as Reflection::dots
  // forms it: the sum starts from -0, to which adding a value gives that
  // value bit for bit.  The candidate itself is not in the pass.
  if (looking_ahead) {
    saved_pivot = *u;
    *u = pivot.up;
  }
  constexpr double negative_zero = -0.0;
  const double* rhs = &b[p + 1];
  const int64_t len = q.rows_below_pivot();
  const ZBlocks blocks(iz1, iz2, ahead.next_pass_forward());
  for (int32_t k = 0; k < blocks.count(); ++k) {
    if (k + 1 < blocks.count()) prefetch_pivot_rows(a, index, blocks, k + 1, p);
    // Reflected columns first, then the ones it leaves alone; the sums of
    // separate columns are independent, so the split changes no result.
    int32_t moved[block_columns];
    double* col[block_columns];
    double multiple[block_columns];
    double sm[block_columns];
    double dm[block_columns];
    int32_t reflected = 0;
    int32_t kept = block_columns;
    for (int32_t iz = blocks.first(k); iz <= blocks.last(k); ++iz) {
      const int32_t c = index[iz];
      if (c == next) continue;
      const double dot = ahead.dot(c);
      if (dot == zero) {
        --kept;
        moved[kept] = c;
        col[kept] = &a(p + 1, c);
      } else {
        multiple[reflected] = q.scale(dot);
        q.update_pivot(c, multiple[reflected]);
        moved[reflected] = c;
        col[reflected] = &a(p + 1, c);
        ++reflected;
      }
    }
    for (int32_t c = 0; c < block_columns; ++c) {
      sm[c] = zero;
      dm[c] = negative_zero;
    }
    if (looking_ahead) {
      kern.add_scaled_and_two_dots(col, multiple, reflected, q.v(), rhs, u, len, sm, dm);
      kern.add_two_dots(col + kept, block_columns - kept, rhs, u, len, sm + kept, dm + kept);
    } else {
      kern.add_scaled_and_dots(col, multiple, reflected, q.v(), rhs, len, sm);
      kern.add_dots(col + kept, block_columns - kept, rhs, len, sm + kept);
    }
    for (int32_t c = 0; c < reflected; ++c) w[moved[c]] = sm[c];
    for (int32_t c = kept; c < block_columns; ++c) w[moved[c]] = sm[c];
    if (looking_ahead) {
      for (int32_t c = 0; c < reflected; ++c) ahead.dot(moved[c]) = dm[c];
      for (int32_t c = kept; c < block_columns; ++c) ahead.dot(moved[c]) = dm[c];
      for (int32_t c = 0; c < block_columns; ++c) {
        if (c < reflected || c >= kept) ahead.pivot_row(moved[c]) = col[c][0];
      }
    }
  }
  if (looking_ahead) {
    *u = saved_pivot;
    ahead.hold(next, pivot);
  }
}

// ---------------------------------------------------------------------------
// Rotations after a removal.  Removing position jj from P leaves the columns
// after it with one element below the diagonal; rotation J (J = jj+1..nsetp)
// of rows (J-1, J) clears a(J, index(J)) and is applied to every other column
// and to b.  Each element sees the rotations in J order, and rotation J takes
// its cosine and sine from column index(J) after rotations jj+1..J-1.  Only
// that order is fixed, not the order of the columns: the rotations are
// therefore built a chunk at a time and then applied column by column, so
// that each column is visited once per chunk instead of once per rotation.
// ---------------------------------------------------------------------------

// Rotations held at once; their cosines and sines live on the stack.
constexpr int32_t rotation_chunk = tovrin::max_rotations;

// Rotations J = first..first+count-1: rotation J at position k = J - first
// acts on rows (J-1, J) and was built on column owner[k] = index(J).
struct RotationChunk {
  int32_t first = 0;
  int32_t count = 0;
  double cc[rotation_chunk];
  double ss[rotation_chunk];
  int32_t owner[rotation_chunk];
};

// Rotations k = from..to-1 of the chunk applied in order to one column; c
// points at row first-1, so rotation k acts on c[k] and c[k+1].  Each
// rotation forms both new values from the same old pair, (cc*p + ss*q,
// -ss*p + cc*q); the second is the first operand of the next rotation.
// Columns in numbers go through the kernels' rotate_columns, which does the
// same.
void rotate_column(double* c, const RotationChunk& r, int32_t from, int32_t to) {
  if (from >= to) return;
  double p = c[from];
  for (int32_t k = from; k < to; ++k) {
    const double q = c[k + 1];
    c[k] = r.cc[k] * p + r.ss[k] * q;
    p = -r.ss[k] * p + r.cc[k] * q;
  }
  c[to] = p;
}

// Builds the rotations J = first..last (last - first < rotation_chunk) and
// shifts index(J) down to index(J-1).  Column index(J) first receives the
// chunk's earlier rotations, as it would have in J order, then its own
// rotation carries (a(J-1, ii), a(J, ii)) onto (sig, 0).
void build_rotations(const ColumnMajor& a, const OneBased<int32_t>& index,
                     int32_t first, int32_t last, RotationChunk& r) {
  r.first = first;
  r.count = last - first + 1;
  for (int32_t J = first; J <= last; ++J) {
    const int32_t k = J - first;
    const int32_t ii = index[J];
    index[J - 1] = ii;
    r.owner[k] = ii;
    rotate_column(&a(first - 1, ii), r, 0, k);
    g1(&a(J - 1, ii), &a(J, ii), &r.cc[k], &r.ss[k], &a(J - 1, ii));
    a(J, ii) = zero;
  }
}

// Applies the chunk to columns 1..n and to b.  Column owner[k] already holds
// rotations 0..k and takes only k+1..count-1; every other column takes all,
// through the kernels, block_columns columns at a time.
void apply_rotations(const ColumnKernels& kern, const ColumnMajor& a,
                     const OneBased<double>& b, const RotationChunk& r, int32_t n) {
  // The owners in increasing column order, with their positions in the
  // chunk, so that one sweep over the columns can pick them out.
  int32_t owner[rotation_chunk];
  int32_t position[rotation_chunk];
  for (int32_t k = 0; k < r.count; ++k) {
    int32_t at = k;
    for (; at > 0 && owner[at - 1] > r.owner[k]; --at) {
      owner[at] = owner[at - 1];
      position[at] = position[at - 1];
    }
    owner[at] = r.owner[k];
    position[at] = k;
  }

  const int32_t row = r.first - 1;
  double* group[block_columns];
  int32_t grouped = 0;
  int32_t next_owner = 0;
  for (int32_t L = 1; L <= n; ++L) {
    double* c = &a(row, L);
    if (next_owner < r.count && owner[next_owner] == L) {
      rotate_column(c, r, position[next_owner] + 1, r.count);
      ++next_owner;
      continue;
    }
    group[grouped++] = c;
    if (grouped == block_columns) {
      kern.rotate_columns(group, grouped, r.cc, r.ss, r.count);
      grouped = 0;
    }
  }
  kern.rotate_columns(group, grouped, r.cc, r.ss, r.count);

  rotate_column(&b[row], r, 0, r.count);
}

// Removes position jj from P (1 <= jj <= nsetp): the rotations
// J = jj+1..nsetp move index(jj+1..nsetp) down by one and bring the columns
// of P back to upper-triangular form in rows 1..nsetp-1, applied to all of a
// and to b.  index(nsetp) is left for the caller to overwrite.
void rotate_out(const ColumnKernels& kern, const ColumnMajor& a,
                const OneBased<double>& b, const OneBased<int32_t>& index,
                int32_t jj, int32_t nsetp, int32_t n) {
  RotationChunk r;
  for (int32_t first = jj + 1; first <= nsetp; first += rotation_chunk) {
    const int32_t last =
        nsetp - first < rotation_chunk ? nsetp : first + rotation_chunk - 1;
    build_rotations(a, index, first, last, r);
    apply_rotations(kern, a, b, r, n);
  }
}

// Largest step alpha in [0, 1] from x towards zz that keeps every variable
// of P non-negative; jj is the position that limits it, the lowest position
// winning ties.  alpha = two means zz is feasible and jj is left alone.
double step_length(const OneBased<double>& zz, const OneBased<double>& x,
                   const OneBased<int32_t>& index, int32_t nsetp,
                   int32_t& jj) {
  double alpha = two;
  for (int32_t ip = 1; ip <= nsetp; ++ip) {
    const int32_t l = index[ip];
    if (zz[ip] <= zero) {
      const double t = -(x[l] / (zz[ip] - x[l]));
      if (alpha > t) {
        alpha = t;
        jj = ip;
      }
    }
  }
  return alpha;
}

}  // namespace

namespace tovrin {

int64_t lookahead_size(int32_t n) { return 2 * static_cast<int64_t>(n); }

bool lookahead_pays(int32_t m, int32_t n) {
  return static_cast<int64_t>(m) * n >= lookahead_min_size;
}

SolveOutcome solve_nnls(double* a_first, int32_t mda, int32_t m, int32_t n,
                        double* b_first, double* x_first, double* rnorm,
                        double* w_first, double* zz_first,
                        int32_t* index_first, int64_t maxiter,
                        const std::atomic<bool>* cancel, double* lookahead) {
  if (m <= 0 || n <= 0) return {mode_bad_dimensions, 0, 0};
  SolveOutcome outcome{mode_solved, 0, 0};

  const OneBased<double> b(b_first);
  const OneBased<double> x(x_first);
  const OneBased<double> w(w_first);
  const OneBased<double> zz(zz_first);
  const OneBased<int32_t> index(index_first);
  const ColumnMajor a(a_first, mda);
  const ColumnKernels kern(tovrin::kernel_path_for(m, n));
  Lookahead ahead(lookahead, n);

  int64_t& iter = outcome.iterations;
  // 64-bit so that 3*n cannot overflow.
  const int64_t itmax = maxiter >= 1 ? maxiter : 3 * static_cast<int64_t>(n);
  for (int32_t i = 1; i <= n; ++i) {
    x[i] = zero;
    index[i] = i;
  }
  const int32_t iz2 = n;
  int32_t iz1 = 1;
  int32_t nsetp = 0;
  int32_t npp1 = 1;
  double up = zero;
  double dummy = zero;

  // Main loop.  Invariants at its head: iz1 = npp1 = nsetp + 1; x(j) = 0 and
  // w(j) is not yet valid for j in Z; w(j) = 0 for j in P; the columns
  // index(1..nsetp) form an upper-triangular R in rows 1..nsetp.
  // dual_ready: w over Z already holds this pass's dual vector, formed while
  // the last reflection was applied.
  bool dual_ready = false;
  for (;;) {
    assert(iz1 == npp1 && npp1 == nsetp + 1);
    if (iz1 > iz2 || nsetp >= m) break;
    // The caller may stop the run between two passes; what has been solved
    // so far is left as at the end of the previous pass.
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
      outcome.mode = mode_cancelled;
      break;
    }

    // Dual vector over Z: w(j) = sum over rows npp1..m of a(l, j)*b(l).
    if (!dual_ready) dual_vector(kern, a, b, w, index, iz1, iz2, npp1, m);
    dual_ready = false;

    // Candidate search: the largest positive w over Z, the lowest position
    // winning ties.  A rejected candidate gets w = 0 and the search repeats.
    int32_t iz = 0;
    int32_t j = 0;
    bool accepted = false;
    for (;;) {
      double wmax = zero;
      int32_t izmax = 0;
      for (int32_t pos = iz1; pos <= iz2; ++pos) {
        const int32_t jw = index[pos];
        if (w[jw] > wmax) {
          wmax = w[jw];
          izmax = pos;
        }
      }
      if (wmax <= zero) break;
      iz = izmax;
      j = index[iz];

      // Reflect rows npp1..m of column j onto its pivot; asave undoes it.
      // The look-ahead may already hold the pivot built from these values.
      const double asave = a(npp1, j);
      const int32_t l1 = npp1 + 1;
      if (ahead.holds(j)) {
        a(npp1, j) = ahead.pivot().s;
        up = ahead.pivot().up;
      } else {
        ahead.drop();
        h12(&construct, &npp1, &l1, &m, a.column(j), &unit, &up, &dummy,
            &unit, &unit, &none);
      }
      double unorm = zero;
      for (int32_t l = 1; l <= nsetp; ++l) unorm = unorm + a(l, j) * a(l, j);
      unorm = std::sqrt(unorm);

      // Independent only if a hundredth of the new pivot still changes unorm
      // in double precision; the sum is rounded before diff sees it.
      const double sum = std::fabs(a(npp1, j)) * factor + unorm;
      if (diff(&sum, &unorm) > zero) {
        for (int32_t l = 1; l <= m; ++l) zz[l] = b[l];
        h12(&apply, &npp1, &l1, &m, a.column(j), &unit, &up, zz_first,
            &unit, &unit, &unit);
        const double ztest = zz[npp1] / a(npp1, j);
        if (ztest > zero) {
          accepted = true;
          break;
        }
      }
      a(npp1, j) = asave;
      w[j] = zero;
      ahead.drop();
    }
    if (!accepted) break;

    // Move j from Z to P: b takes the transformed copy, j takes position iz1.
    for (int32_t l = 1; l <= m; ++l) b[l] = zz[l];
    index[iz] = index[iz1];
    index[iz1] = j;
    ++iz1;
    nsetp = npp1;
    ++npp1;

    // The first solve on the new P, its iteration count and its step length
    // read only zz, x, index and rows 1..nsetp of the columns of P, none of
    // which the reflection of Z or the clearing of column j below the pivot
    // touches, so they may come first.  When they lead straight back to the
    // main loop head and on to the next dual vector (no removal, no limit, Z
    // not empty, P not full), that dual vector is formed in the pass that
    // reflects Z: same columns, same b, same rows npp1..m.
    triangular_solve(kern, a, zz, index, nsetp);
    ++iter;
    bool limit_reached = iter > itmax;
    int32_t jj = 0;
    double alpha = limit_reached ? two : step_length(zz, x, index, nsetp, jj);
    const Reflection q(a, j, up, nsetp, m);
    if (!limit_reached && alpha == two && iz1 <= iz2 && nsetp < m) {
      if (ahead.enabled()) {
        reflect_columns_and_dual_ahead(kern, q, j, a, b, w, index, iz1, iz2, nsetp, m, ahead);
      } else {
        reflect_columns_and_dual(kern, q, a, b, w, index, iz1, iz2, nsetp, m);
      }
      dual_ready = true;
    } else {
      if (ahead.holds(j)) {
        reflect_columns_with_dots(kern, q, a, index, iz1, iz2, ahead, nsetp);
      } else {
        reflect_columns(kern, q, index, iz1, iz2);
      }
      ahead.drop();
    }
    if (nsetp != m) {
      for (int32_t l = npp1; l <= m; ++l) a(l, j) = zero;
    }
    w[j] = zero;

    // Secondary loop, entered after the first solve on the new P: step
    // towards each solution while it stays feasible, drop the variables
    // that reach zero, and solve again on what remains of P.
    for (;;) {
      if (limit_reached) {
        outcome.mode = mode_iteration_limit;
        break;
      }
      if (alpha == two) break;  // zz is feasible: take it

      for (int32_t ip = 1; ip <= nsetp; ++ip) {
        const int32_t l = index[ip];
        x[l] = x[l] + alpha * (zz[ip] - x[l]);
      }

      // Remove position jj from P, restore triangular form with rotations of
      // rows (J-1, J), and rescan P from its start for variables at or below
      // zero.
      int32_t i = index[jj];
      for (;;) {
        x[i] = zero;
        rotate_out(kern, a, b, index, jj, nsetp, n);
        npp1 = nsetp;
        --nsetp;
        --iz1;
        index[iz1] = i;

        jj = 0;
        for (int32_t pos = 1; pos <= nsetp; ++pos) {
          if (x[index[pos]] <= zero) {
            jj = pos;
            break;
          }
        }
        if (jj == 0) break;
        i = index[jj];
      }
      for (int32_t l = 1; l <= m; ++l) zz[l] = b[l];

      triangular_solve(kern, a, zz, index, nsetp);
      ++iter;
      limit_reached = iter > itmax;
      if (!limit_reached) alpha = step_length(zz, x, index, nsetp, jj);
    }
    if (limit_reached) break;

    for (int32_t ip = 1; ip <= nsetp; ++ip) x[index[ip]] = zz[ip];
  }

  // Residual norm from the components of Q*b outside the range of P.
  double sm = zero;
  if (npp1 <= m) {
    for (int32_t i = npp1; i <= m; ++i) sm = sm + b[i] * b[i];
  } else {
    for (int32_t j = 1; j <= n; ++j) w[j] = zero;
  }
  *rnorm = std::sqrt(sm);
  outcome.nsetp = nsetp;
  return outcome;
}

}  // namespace tovrin

extern "C" {

double diff(const double* x, const double* y) { return *x - *y; }

void g1(const double* a, const double* b, double* cterm, double* sterm,
        double* sig) {
  // Read both inputs first: sig may share storage with a or b.
  const double av = *a;
  const double bv = *b;
  if (std::fabs(av) > std::fabs(bv)) {
    // xr = b/a with |xr| < 1; yr = sqrt(1 + xr^2) cannot overflow.
    const double xr = bv / av;
    const double yr = std::sqrt(xr * xr + one);
    const double c = std::copysign(one / yr, av);
    *cterm = c;
    *sterm = c * xr;
    *sig = std::fabs(av) * yr;
    return;
  }
  if (bv != zero) {
    // |a| <= |b| (or a NaN is involved): divide by b instead.
    const double xr = av / bv;
    const double yr = std::sqrt(xr * xr + one);
    const double s = std::copysign(one / yr, bv);
    *sterm = s;
    *cterm = s * xr;
    *sig = std::fabs(bv) * yr;
    return;
  }
  *sig = zero;
  *cterm = zero;
  *sterm = one;
}

void h12(const int32_t* mode, const int32_t* lpivot, const int32_t* l1,
         const int32_t* m, double* u, const int32_t* iue, double* up,
         double* c, const int32_t* ice, const int32_t* icv,
         const int32_t* ncv) {
  const int32_t lp = *lpivot;
  const int32_t first = *l1;
  const int32_t last = *m;
  if (lp <= 0 || lp >= first || first > last) return;

  // u(k) lies (k-1)*stride after u; a negative stride counts as 0.
  const int64_t stride = *iue > 0 ? *iue : 0;
  auto uk = [u, stride](int32_t k) -> double& {
    return u[static_cast<int64_t>(k - 1) * stride];
  };

  if (*mode != apply) {
    // u(l1..m) lie iue apart from u(l1); stride 0 reads u(1) for each.
    HouseholderPivot pivot;
    if (!householder_pivot(uk(lp), &uk(first), static_cast<int64_t>(last) - first + 1,
                           stride, pivot)) {
      return;  // zero vector: nothing to reflect
    }
    *up = pivot.up;
    uk(lp) = pivot.s;
  } else if (std::fabs(uk(lp)) <= zero) {
    return;  // no transformation was constructed with this pivot
  }

  if (*ncv <= 0) return;
  // b = up*s = -||v||^2/2 in exact arithmetic; anything else (underflow to
  // -0, NaN) leaves c alone.
  double b = *up * uk(lp);
  if (!(b < zero)) return;
  b = one / b;

  const int64_t ce = *ice;
  const int64_t cv = *icv;
  int64_t i2 = 1 - cv + ce * (lp - 1);
  const int64_t incr = ce * (first - lp);
  for (int32_t j = 1; j <= *ncv; ++j) {
    i2 += cv;
    int64_t i3 = i2 + incr;
    int64_t i4 = i3;
    // sm = v'c, pivot term first, then rows l1..m in order.
    double sm = c[i2 - 1] * *up;
    for (int32_t i = first; i <= last; ++i) {
      sm = sm + c[i3 - 1] * uk(i);
      i3 += ce;
    }
    if (sm == zero) continue;  // orthogonal to v: Q*c = c exactly
    sm = sm * b;
    c[i2 - 1] = c[i2 - 1] + sm * *up;
    if (ce == 1 && stride == 1) {
      // Both contiguous, as nnls calls it: the independent updates in a
      // loop the compiler can vectorise.
      double* ci = &c[i4 - 1];
      const double* ui = &uk(first);
      const int64_t count = static_cast<int64_t>(last) - first + 1;
      for (int64_t k = 0; k < count; ++k) ci[k] = ci[k] + sm * ui[k];
      continue;
    }
    for (int32_t i = first; i <= last; ++i) {
      c[i4 - 1] = c[i4 - 1] + sm * uk(i);
      i4 += ce;
    }
  }
}

// The by-reference entry: the run of solve_nnls, with the console line when
// it stops on the iteration limit.
void nnls(double* a, const int32_t* mda, const int32_t* m, const int32_t* n,
          double* b, double* x, double* rnorm, double* w, double* zz,
          int32_t* index, int32_t* mode, const int32_t* maxiter) {
  // The look-ahead's work space where it pays, on the stack (the core
  // allocates nothing): up to lookahead_stack_columns columns; beyond, the
  // run is the same without it, only slower.
  double lookahead[2 * lookahead_stack_columns];
  const bool ahead = tovrin::lookahead_pays(*m, *n) && *n <= lookahead_stack_columns;
  const tovrin::SolveOutcome outcome = tovrin::solve_nnls(
      a, *mda, *m, *n, b, x, rnorm, w, zz, index, *maxiter, nullptr,
      ahead ? lookahead : nullptr);
  *mode = outcome.mode;
  if (outcome.mode == tovrin::mode_iteration_limit) report_iteration_limit();
}

}  // extern "C"
