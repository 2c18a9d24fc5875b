// A form of the round's system: for a partition of the variables into a
// free set F and a held set H, the minimiser of f(x) = 1/2 x'G x - c'x
// with x_H = 0,
//     x_F = G_FF^-1 c_F,   w = c - G x  (zero on F),
// and the solves with G_FF that the certificate needs on the final set.
// The free form factorises G_FF; the held form factorises G once and
// works on H through the Schur complement (held_form.h).
//
// Positions: vectors over F are in the order of free_set().
#ifndef TOVRIN_GRAM_FORM_H
#define TOVRIN_GRAM_FORM_H

#include <cstddef>
#include <cstdint>

#include "gram/factor.h"

namespace tovrin {
namespace gram {

// The solves with G_FF of a free set that the certificate needs.
class FreeSystem {
 public:
  virtual ~FreeSystem() = default;

  // The free set, in the order of the positions.
  virtual std::int32_t free_count() const = 0;
  virtual const std::int32_t* free_set() const = 0;

  // v = G_FF^-1 v over the positions.
  virtual void solve_free(double* v) = 0;

  // For a held variable i: G_ii - G_iF G_FF^-1 G_Fi, the square of the pivot
  // i would get on entering F, not below its rounding eps G_ii.
  virtual double held_pivot_squared(std::int32_t i) = 0;

  // z = G_FF^-1 G_Fi over the positions, for a held variable i.
  virtual void solve_column(std::int32_t i, double* z) = 0;
};

class Form : public FreeSystem {
 public:
  // Makes the system of the free set given by n flags.  Returns false when
  // G_FF is not numerically positive definite in this form.
  virtual bool prepare(const unsigned char* free) = 0;

  // For c (length n): x (zero off F) and w = c - G x on H (zero on F).
  virtual void trial(const double* c, double* x, double* w) = 0;
};

// The free system of a factor of G_FF (factor.h) made by its owner.
class FactorSystem final : public FreeSystem {
 public:
  FactorSystem(const double* g, std::ptrdiff_t ldg, const Factor& factor, double* scratch)
      : g_(g), ldg_(ldg), factor_(factor), scratch_(scratch) {}

  std::int32_t free_count() const override { return factor_.size(); }
  const std::int32_t* free_set() const override { return factor_.set(); }
  void solve_free(double* v) override { factor_.solve(v); }
  double held_pivot_squared(std::int32_t i) override;
  void solve_column(std::int32_t i, double* z) override;

 private:
  const double* g_;
  std::ptrdiff_t ldg_;
  const Factor& factor_;
  double* scratch_;   // length n
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_FORM_H
