// libFuzzer target for the Householder kernel h12.
//
// Each input becomes a call (mode, lpivot, l1, m, strides iue, ice, icv, ncv)
// and the elements it works on; half the inputs construct a reflection and
// then apply it in a second call, as the solver does.  Only the elements
// u(k) and c(k) of vector j with k = lpivot or l1 <= k <= m may be accessed:
// every other element of both arrays is poisoned.  Checked besides:
//   - an invalid index triple reads and writes nothing at all;
//   - with ncv <= 0, c is not accessed;
//   - a construction changes only u(lpivot) of u (and up);
//   - an application (mode 2) only reads u and up;
//   - a second run with other contents in up (ignored by a construction)
//     gives the same bits.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "guarded.h"
#include "nnls.h"

namespace {

using fuzz::check;
using fuzz::Guarded;

struct Call {
  std::int32_t mode = 1, lpivot = 1, l1 = 2, m = 2;
  std::int32_t iue = 1, ice = 1, icv = 1, ncv = 1;
  bool construct_first = false;
  std::vector<double> u, c;  // values of the participating elements
  double up = 0;             // up given to an apply-only call
};

bool valid_triple(const Call& k) {
  return k.lpivot > 0 && k.lpivot < k.l1 && k.l1 <= k.m;
}

// The 1-based indices that take part: lpivot and l1..m.
std::vector<std::int32_t> indices(const Call& k) {
  std::vector<std::int32_t> ks;
  if (!valid_triple(k)) return ks;
  ks.push_back(k.lpivot);
  for (std::int32_t i = k.l1; i <= k.m; ++i) ks.push_back(i);
  return ks;
}

std::ptrdiff_t u_offset(const Call& k, std::int32_t i) {
  return static_cast<std::ptrdiff_t>(i - 1) * std::max(k.iue, 0);
}

std::ptrdiff_t c_offset(const Call& k, std::int32_t j, std::int32_t i) {
  return static_cast<std::ptrdiff_t>(j - 1) * k.icv +
         static_cast<std::ptrdiff_t>(i - 1) * k.ice;
}

Call decode(FuzzedDataProvider& in) {
  Call k;
  k.construct_first = in.ConsumeBool();
  const std::int32_t modes[] = {1, 2, 0, 3, -1};
  k.mode = modes[in.ConsumeIntegralInRange<int>(0, 4)];
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // Any triple, valid or not.
    k.lpivot = in.ConsumeIntegralInRange<std::int32_t>(-2, 9);
    k.l1 = in.ConsumeIntegralInRange<std::int32_t>(-2, 10);
    k.m = in.ConsumeIntegralInRange<std::int32_t>(-2, 10);
  } else {
    k.lpivot = in.ConsumeIntegralInRange<std::int32_t>(1, 6);
    k.l1 = k.lpivot + in.ConsumeIntegralInRange<std::int32_t>(1, 3);
    k.m = k.l1 + in.ConsumeIntegralInRange<std::int32_t>(0, 6);
  }
  k.iue = in.ConsumeIntegralInRange<std::int32_t>(-2, 3);
  k.ice = in.ConsumeIntegralInRange<std::int32_t>(-3, 3);
  k.icv = in.ConsumeIntegralInRange<std::int32_t>(-12, 12);
  k.ncv = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);
  k.up = fuzz::value(in);
  for (std::size_t i = 0; i < indices(k).size(); ++i) {
    k.u.push_back(fuzz::value(in));
  }
  for (std::int32_t j = 0; j < std::max(k.ncv, 0); ++j) {
    for (std::size_t i = 0; i < indices(k).size(); ++i) {
      k.c.push_back(fuzz::value(in));
    }
  }
  return k;
}

struct Outcome {
  std::vector<double> u, c;
  double up = 0;
};

// Runs the call (after a construction when construct_first is set) with
// pattern-dependent contents in up, and checks the access rules.
Outcome run(const Call& k, int pattern) {
  const double s = fuzz::sentinel(pattern);
  const std::vector<std::int32_t> ks = indices(k);

  std::ptrdiff_t u_len = 1;
  for (std::int32_t i : ks) u_len = std::max(u_len, u_offset(k, i) + 1);
  Guarded<double> u(u_len, s);
  for (std::size_t q = 0; q < ks.size(); ++q) {
    u[u_offset(k, ks[q])] = k.u[q];
    u.open(u_offset(k, ks[q]));
  }

  // c points at the element with offset 0; offsets may be negative.
  std::ptrdiff_t lo = 0, hi = 0;
  const std::int32_t ncv = std::max(k.ncv, 0);
  for (std::int32_t j = 1; j <= ncv; ++j) {
    for (std::int32_t i : ks) {
      lo = std::min(lo, c_offset(k, j, i));
      hi = std::max(hi, c_offset(k, j, i));
    }
  }
  Guarded<double> c(hi - lo + 1, s);
  double* c0 = c.first() - lo;
  std::size_t q = 0;
  for (std::int32_t j = 1; j <= ncv; ++j) {
    for (std::int32_t i : ks) {
      const std::ptrdiff_t at = c_offset(k, j, i) - lo;
      if (!c.is_open(at)) c[at] = k.c[q];  // overlapping vectors: first wins
      c.open(at);
      ++q;
    }
  }

  Guarded<double> up(1, k.construct_first || k.mode != 2 ? s : k.up);
  if (!ks.empty()) up.open(0);

  const std::int32_t construct = 1;
  const std::int32_t none = 0;
  if (k.construct_first) {
    u.seal();
    up.seal();
    h12(&construct, &k.lpivot, &k.l1, &k.m, u.first(), &k.iue, up.first(),
        nullptr, &k.ice, &k.icv, &none);
    u.unseal();
    up.unseal();
    check(u.closed_untouched() && up.closed_untouched(),
          "construction touched an element outside lpivot, l1..m");
    for (std::int32_t i : ks) {
      check(i == k.lpivot || k.iue <= 0 || u.unchanged(u_offset(k, i)),
            "construction changed u(l1..m)");
    }
  }

  u.seal();
  up.seal();
  c.seal();
  h12(&k.mode, &k.lpivot, &k.l1, &k.m, u.first(), &k.iue, up.first(), c0,
      &k.ice, &k.icv, &k.ncv);
  u.unseal();
  up.unseal();
  c.unseal();
  check(u.closed_untouched() && up.closed_untouched() && c.closed_untouched(),
        "element outside lpivot, l1..m touched");
  if (ks.empty()) {
    check(u.all_unchanged() && up.all_unchanged() && c.all_unchanged(),
          "invalid index triple wrote something");
  }
  if (k.ncv <= 0) check(c.all_unchanged(), "c changed with ncv <= 0");
  if (k.mode == 2) {
    check(u.all_unchanged() && up.all_unchanged(), "application changed u");
  } else {
    for (std::int32_t i : ks) {
      check(i == k.lpivot || k.iue <= 0 || u.unchanged(u_offset(k, i)),
            "construction changed u(l1..m)");
    }
  }

  Outcome o;
  for (std::int32_t i : ks) o.u.push_back(u[u_offset(k, i)]);
  for (std::ptrdiff_t at = 0; at < c.size(); ++at) {
    if (c.is_open(at)) o.c.push_back(c[at]);
  }
  o.up = up[0];
  return o;
}

bool same_bits(const std::vector<double>& p, const std::vector<double>& q) {
  return p.size() == q.size() &&
         std::equal(p.begin(), p.end(), q.begin(), fuzz::same_bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Call k = decode(in);
  const Outcome o1 = run(k, 0);
  const Outcome o2 = run(k, 1);
  // up is ignored on entry by a construction, and a construction on a zero
  // vector (which leaves up as it was) is followed by no application: the
  // results never depend on the sentinel contents.
  check(same_bits(o1.u, o2.u) && same_bits(o1.c, o2.c),
        "result depends on the entry value of up");
  return 0;
}
