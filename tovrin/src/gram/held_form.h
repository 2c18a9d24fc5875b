// The held form of the rounds, for large problems: G = L L' is factorised
// once, and each round works on the held set H through the Schur
// complement, at a cost that grows with |H| and with the variables that
// change sides, not with |F|^3.
//
// With W = L^-1 E_H (the columns L^-1 e_h, h in H; column h is zero above
// row h) and S = W'W = E_H' G^-1 E_H, the point with x_H = 0 and G x - c
// zero on F is
//     x = L^-T (y + W l),   S l = -W'y = -u_H,   y = L^-1 c,  u = G^-1 c,
// and its dual w = c - G x is -l on H, zero on F.  y and u are formed once
// per right-hand side; W keeps the columns of the held variables, in the
// positions of S; a round appends the columns of the variables that enter
// H (a staircase triangular solve) and drops those that leave, forms only
// the entries of S that the new columns bring (the others are kept), and
// factorises S.
//
// Accuracy: the Schur solves are accurate to about eps cond(G), not
// eps cond(G_FF); the form is used where eps cond(G) is small
// (held_form_condition) and the certificate refines its final x with A, or
// with G, which brings it to the accuracy of G_FF.
//
// Storage: L in the lower triangle of G's own storage (G keeps its upper
// triangle, its diagonal aside); W, n x |H|; S and its factor, each
// |H| x |H|: at most n |H| + 2 |H|^2 doubles beyond G, committed as used
// (the buffers are sized n x n, their pages committed only where written).
#ifndef TOVRIN_GRAM_HELD_FORM_H
#define TOVRIN_GRAM_HELD_FORM_H

#include <cstdint>
#include <vector>

#include "common/buffer.h"
#include "gram/data.h"
#include "gram/factor.h"
#include "gram/form.h"

namespace tovrin {
class Team;
namespace gram {

// The largest eps cond(G) at which the held form is used.
constexpr double held_form_condition = 1e-6;

class HeldForm final : public Form {
 public:
  // g: G in the storage it lies in, which factorise overwrites (n x n,
  // leading dimension n).
  HeldForm(double* g, std::int32_t n, double gnorm, Team& team, dense::DenseWorkspace& ws);

  // L L' = G in the lower triangle of G's storage.  Returns false when G is
  // not numerically positive definite, or too ill-conditioned for the form
  // (then nothing else may be called but restore).
  bool factorise();
  // G as it lies once factorise has run: its upper triangle and diagonal.
  const GramMatrix& gram() const { return g_; }
  // G back whole in its storage (the lower triangle from the upper, the
  // diagonal from the side), for the forms that need it.
  void restore();
  // The estimate of cond(G) made by factorise.
  double condition() const { return condition_; }

  // Starts a right-hand side: y = L^-1 c, u = L^-T y; H empty.
  void start(const double* c);

  bool prepare(const unsigned char* free) override;
  void trial(const double* c, double* x, double* w) override;
  std::int32_t free_count() const override { return std::int32_t(free_.size()); }
  const std::int32_t* free_set() const override { return free_.data(); }
  void solve_free(double* v) override;
  double held_pivot_squared(std::int32_t i) override;
  void solve_column(std::int32_t i, double* z) override;

 private:
  double* column(std::int32_t position) { return w_.data() + std::size_t(position) * n_; }
  void drop_held(const unsigned char* free);
  void add_columns(const unsigned char* free);
  void schur_entries(std::int32_t kept);
  bool factorise_schur();
  bool extend_schur(std::int32_t kept);
  // x = L^-T (y + W l) into x (full length).
  void back_from(const double* y, const double* l, double* x);

  double* storage_;               // G's, n x n: L below the diagonal and on it
  std::int32_t n_;
  std::vector<double> diag_;      // G's diagonal
  GramMatrix g_;
  Team& team_;
  dense::DenseWorkspace& ws_;
  double condition_ = 0.0;
  const double* l_;               // L, in storage_
  Buffer w_;                      // W, n x |H| of n x n, column q for held_[q]
  Buffer s_;                      // S = W'W, its lower triangle, |H| x |H| of n x n
  Buffer scratch_;                // for bordering S's factor: |H| x (new positions)
  std::vector<std::int32_t> held_;
  std::vector<std::int32_t> position_;   // of a held variable in held_, else -1
  std::vector<std::int32_t> moved_;      // old position of each kept one
  std::vector<std::int32_t> free_;
  std::vector<dense::Index> first_;      // rows above which new columns of W are zero
  Factor schur_;                  // of S, positions those of held_
  std::vector<double> y_, u_;     // of the current right-hand side
  std::vector<double> v_, t_, z_; // scratch: n, n, n
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_HELD_FORM_H
