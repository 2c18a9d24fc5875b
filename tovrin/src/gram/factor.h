// The Cholesky factor of a principal submatrix: L L' = B(set, set) for a
// symmetric positive semi-definite B and an ordered set of its indices (the
// positions), L lower triangular, column-major with leading dimension
// capacity.  B is G = A'A (the free set's system) or M = G^-1 (the held
// set's, in the held form); the factor sees B only through the entries its
// caller hands it.
//
// Make: factorise B(set, set) whole (blocked, shared by a team when large).
// Update: append a position (a new last row of L, O(p^2)), remove one
// (rows below it move up and Givens rotations of neighbouring columns
// restore the triangle, O(p^2)).  Solve: B(set, set)^-1 v by the two
// triangular solves.  Every operation keeps L L' = B(set, set) for the
// positions held.
//
// A position whose pivot^2, B_tt minus what the positions before it
// explain, is at or below dependent_pivot * B_tt is numerically dependent
// on them in this form, and is refused.
#ifndef TOVRIN_GRAM_FACTOR_H
#define TOVRIN_GRAM_FACTOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/buffer.h"

namespace tovrin {
class Team;
namespace dense {
class DenseWorkspace;
}
namespace gram {

// The smallest pivot^2 / B_tt of a position that is not numerically
// dependent: the squared sine of its column's angle to the span of those
// before it, for B = G.
constexpr double dependent_pivot = 1e-13;

// A lower-bound estimate of cond_2(L L') = cond_2(L)^2 for the leading
// p x p block of the lower-triangular L (column-major, leading dimension
// ld): ||L|| >= sqrt(largest), the largest diagonal entry of L L', and
// ||L^-1|| >= ||L^-T z|| / ||z|| for z = L^-1 e with the signs of e = (+-1)
// chosen as z is formed to make it large (the estimator of LINPACK's
// condition routines).  z and v are scratch of length p.
double lower_condition(std::int32_t p, const double* l, std::ptrdiff_t ld, double largest,
                       double* z, double* v);

class Factor {
 public:
  explicit Factor(std::int32_t capacity);

  std::int32_t size() const { return p_; }
  std::int32_t capacity() const { return capacity_; }
  const std::int32_t* set() const { return set_.data(); }
  std::int32_t variable(std::int32_t position) const { return set_[std::size_t(position)]; }
  const double* lower() const { return l_.data(); }
  std::ptrdiff_t ld() const { return capacity_; }

  void clear() { p_ = 0; }

  // L L' = B(set, set) for the p positions set[0..p), b column-major with
  // leading dimension ldb.  Returns false, leaving the factor empty, when a
  // pivot fails.  With a team (and its workspace) a large factor is made
  // by the blocked kernels.
  bool make(const double* b, std::ptrdiff_t ldb, const std::int32_t* set, std::int32_t p,
            Team* team = nullptr, dense::DenseWorkspace* ws = nullptr);
  // The same for a B(set, set) the caller has written into the lower
  // triangle of storage() (leading dimension ld()).
  double* storage() { return l_.data(); }
  bool factorise(const std::int32_t* set, std::int32_t p, Team* team = nullptr,
                 dense::DenseWorkspace* ws = nullptr);

  // Appends count positions at once (block bordering): set[p..p+count) the
  // variables, whose entries B(new, set) and B(new, new) the caller has
  // written into the lower triangle of storage() at rows p..p+count-1, and
  // whose diagonal B_tt is given (by position from p).  L gains the rows
  // L21 = B(new, set) L^-T and the factor of B(new, new) - L21 L21'.
  // Returns false, the factor then to be made anew, when a new pivot fails.
  // scratch holds p * count doubles.
  bool extend(const std::int32_t* variables, std::int32_t count, const double* diagonal,
              double* scratch, Team* team, dense::DenseWorkspace* ws);

  // Appends t with column = B(set, t) (position order, length size(); it
  // is overwritten) and btt = B_tt: L gains the row l = L^-1 column and the
  // pivot sqrt(btt - l'l).  Returns false, changing nothing, when the pivot
  // fails.  With y = L^-1 v(set) given, y gains its next entry for
  // v_t = vt.
  bool append(std::int32_t t, double* column, double btt, double* y = nullptr,
              double vt = 0.0);

  // Removes position q; y = L^-1 v(set), when given, is rotated alike so
  // that it stays L^-1 v(set) for the positions left.
  void remove(std::int32_t q, double* y = nullptr);

  // v = L^-1 v, v = L^-T v and v = B(set, set)^-1 v, positions 0..p-1.
  void forward(double* v) const;
  void backward(double* v) const;
  void solve(double* v) const {
    forward(v);
    backward(v);
  }

  // A lower-bound estimate of cond_2(B(set, set)) = cond_2(L)^2, from
  // ||L|| >= the largest sqrt(B_tt) (diagonal b_diag, by variable) and
  // ||L^-1|| >= ||L^-T z|| / ||z|| for z = L^-1 e with the signs of
  // e = (+-1) chosen as z is formed to make it large.  z and v are scratch
  // of length p.
  double condition(const double* b_diag, double* z, double* v) const;

 private:
  double& at(std::int32_t i, std::int32_t j) { return l_[std::size_t(i) + std::size_t(j) * capacity_]; }
  double at(std::int32_t i, std::int32_t j) const {
    return l_[std::size_t(i) + std::size_t(j) * capacity_];
  }

  std::int32_t capacity_;
  std::int32_t p_ = 0;
  Buffer l_;  // capacity x capacity; the factor's p x p block only is written
  std::vector<std::int32_t> set_;
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_FACTOR_H
