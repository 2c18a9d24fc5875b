// libFuzzer target for the Givens kernel g1.
//
// Each input becomes a pair (a, b).  The rotation is computed with separate
// storage for all five arguments, with sig in the storage of a (as the
// solver calls it) and with sig in the storage of b; the three must agree
// bit for bit.  The five values live in poisoned storage with only the used
// slots open.  Checked besides: all three results are written, sig is not
// negative, and for finite input whose length lies well inside the range of
// doubles, [c s; -s c] maps (a, b) onto (sig, 0) and c^2 + s^2 = 1 within a
// few rounding errors.
#include <cmath>
#include <cstdint>
#include <limits>

#include "guarded.h"
#include "nnls.h"

namespace {

using fuzz::check;
using fuzz::Guarded;

struct Rotation {
  double c, s, sig;
};

// Slots 0..4 hold a, b, cterm, sterm and sig; sig_slot moves sig onto the
// slot of a (0) or of b (1).
Rotation rotate(double a, double b, int sig_slot) {
  Guarded<double> cell(5, fuzz::sentinel(0));
  for (int k = 0; k < 5; ++k) cell.open(k);
  cell[0] = a;
  cell[1] = b;
  cell.seal();
  g1(&cell[0], &cell[1], &cell[2], &cell[3], &cell[sig_slot]);
  cell.unseal();
  check(cell.closed_untouched(), "g1 touched storage beside its arguments");
  check(!cell.unchanged(2) && !cell.unchanged(3),
        "g1 left cterm or sterm unwritten");
  if (sig_slot == 4) {
    check(!cell.unchanged(4), "g1 left sig unwritten");
    check(cell.unchanged(0) && cell.unchanged(1), "g1 wrote a or b");
  }
  return {cell[2], cell[3], cell[sig_slot]};
}

bool same(const Rotation& p, const Rotation& q) {
  return fuzz::same_bits(p.c, q.c) && fuzz::same_bits(p.s, q.s) &&
         fuzz::same_bits(p.sig, q.sig);
}

// The rotation property, where neither overflow nor underflow interferes:
// each residual is a few roundings of the largest term involved.
void check_rotation(double a, double b, const Rotation& r) {
  check(!(r.sig < 0.0), "negative sig");
  if (!std::isfinite(a) || !std::isfinite(b)) return;
  const double big = std::fmax(std::fabs(a), std::fabs(b));
  if (big == 0.0) {
    check(fuzz::same_bits(r.c, 0.0) && fuzz::same_bits(r.s, 1.0) &&
              fuzz::same_bits(r.sig, 0.0),
          "zero pair not mapped to c = +0, s = 1, sig = +0");
    return;
  }
  if (big > 1e150 || big < 1e-150) return;
  const double tol = 8 * std::numeric_limits<double>::epsilon();
  check(std::fabs(r.c * r.c + r.s * r.s - 1.0) <= tol, "c^2 + s^2 != 1");
  check(std::fabs(r.c * a + r.s * b - r.sig) <= tol * big, "c*a + s*b != sig");
  check(std::fabs(-r.s * a + r.c * b) <= tol * big, "-s*a + c*b != 0");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const double a = fuzz::value(in);
  const double b = fuzz::value(in);
  const Rotation apart = rotate(a, b, 4);
  check(same(apart, rotate(a, b, 0)), "sig aliasing a changes the result");
  check(same(apart, rotate(a, b, 1)), "sig aliasing b changes the result");
  check_rotation(a, b, apart);
  return 0;
}
