// The function tables of the kernels' three versions (kernels.h gives the
// contracts and the exactness argument).  Internal to the solver core.
#ifndef TOVRIN_KERNEL_TABLES_H
#define TOVRIN_KERNEL_TABLES_H

#include <cstdint>

namespace tovrin {

struct KernelTable {
  void (*add_dots)(double* const* col, std::int32_t count, const double* v,
                   std::int64_t len, double* s);
  void (*add_scaled_and_dots)(double* const* col, const double* scale,
                              std::int32_t count, const double* v,
                              const double* r, std::int64_t len, double* s);
  void (*add_scaled_and_two_dots)(double* const* col, const double* scale,
                                  std::int32_t count, const double* v,
                                  const double* r, const double* u,
                                  std::int64_t len, double* s, double* d);
  void (*add_two_dots)(double* const* col, std::int32_t count, const double* r,
                       const double* u, std::int64_t len, double* s, double* d);
  void (*subtract_scaled_columns)(double* c, const double* const* v,
                                  const double* s, std::int32_t count,
                                  std::int64_t len);
  void (*add_scaled)(double* c, const double* v, std::int64_t len, double s);
  void (*rotate_columns)(double* const* col, std::int32_t count, const double* cc,
                         const double* ss, std::int32_t rotations);
};

extern const KernelTable portable_kernels;

// The last count < lanes columns of a call as one full group of a vector
// kernel: the lanes beyond count read column 0 again and store nothing, and
// their sums are dropped.  The sums of the group are copies, written back by
// write_sums.
template <int lanes>
struct PaddedGroup {
  double* col[lanes];
  double scale[lanes];
  double s[lanes];
  double d[lanes];

  PaddedGroup(double* const* c, const double* sc, std::int32_t count,
              const double* s0, const double* d0) {
    for (int k = 0; k < lanes; ++k) {
      const bool live = k < count;
      col[k] = c[live ? k : 0];
      scale[k] = sc != nullptr && live ? sc[k] : 0.0;
      s[k] = s0 != nullptr && live ? s0[k] : 0.0;
      d[k] = d0 != nullptr && live ? d0[k] : 0.0;
    }
  }
  void write_sums(std::int32_t count, double* s0, double* d0) const {
    for (std::int32_t k = 0; k < count; ++k) {
      s0[k] = s[k];
      if (d0 != nullptr) d0[k] = d[k];
    }
  }
};

// The vector versions exist in builds for x86-64 with GCC or Clang, unless
// TOVRIN_PORTABLE_KERNELS leaves them out.  Each function carries its target
// as an attribute: the library's baseline flags stay those of any x86-64.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(TOVRIN_PORTABLE_KERNELS)
#define TOVRIN_HAVE_VECTOR_KERNELS 1
extern const KernelTable avx2_kernels;
extern const KernelTable avx512_kernels;
#endif

}  // namespace tovrin

#endif  // TOVRIN_KERNEL_TABLES_H
