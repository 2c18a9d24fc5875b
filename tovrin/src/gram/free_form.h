// The free form of the rounds: G_FF = L L' factorised for the round's free
// set, made anew (blocked, shared by the team) or, when few variables
// change sides, updated (factor.h).  Accurate to about eps cond(G_FF), and
// defined wherever G_FF is positive definite, G itself need not be: the
// form of wide and rank-deficient A, and of a G too ill-conditioned for the
// held form.
#ifndef TOVRIN_GRAM_FREE_FORM_H
#define TOVRIN_GRAM_FREE_FORM_H

#include <cstdint>
#include <vector>

#include "gram/data.h"
#include "gram/factor.h"
#include "gram/form.h"

namespace tovrin {
class Team;
namespace gram {

class FreeForm final : public Form {
 public:
  FreeForm(const GramMatrix& g, Team& team, dense::DenseWorkspace& ws);

  // Forgets the factor: the next prepare makes it anew.
  void reset() { current_ = false; }

  bool prepare(const unsigned char* free) override;
  void trial(const double* c, double* x, double* w) override;
  std::int32_t free_count() const override { return factor_.size(); }
  const std::int32_t* free_set() const override { return factor_.set(); }
  void solve_free(double* v) override { factor_.solve(v); }
  double held_pivot_squared(std::int32_t i) override;
  void solve_column(std::int32_t i, double* z) override;

  // The estimate of cond(G_FF) for the factor of the last prepare.
  double condition();

 private:
  bool update(const unsigned char* free);

  GramMatrix g_;
  Team& team_;
  dense::DenseWorkspace& ws_;
  std::int32_t n_;
  Factor factor_;
  bool current_ = false;
  std::vector<std::int32_t> set_;
  std::vector<unsigned char> in_;   // whether a variable is in the factor
  std::vector<double> v_, z_, diag_;
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_FREE_FORM_H
