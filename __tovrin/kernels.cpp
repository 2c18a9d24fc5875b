// The portable kernels, the choice of a version at run time and the
// dispatch to it (see kernels.h for the exactness argument).
#include "kernels.h"

#include <cstring>

#include "kernel_tables.h"

namespace tovrin {
namespace {

using std::int32_t;
using std::int64_t;

// s(k) = s(k) + c_k(i)*v(i) for i = 0..len-1 in order, one column at a time.
void add_dots_portable(double* const* col, int32_t count, const double* v,
                       int64_t len, double* s) {
  for (int32_t k = 0; k < count; ++k) {
    double sm = s[k];
    const double* c = col[k];
    for (int64_t i = 0; i < len; ++i) sm = sm + c[i] * v[i];
    s[k] = sm;
  }
}

// For each column k: c_k(i) = c_k(i) + scale(k)*v(i), then s(k) = s(k) +
// c_k(i)*r(i) with the updated value, for i = 0..len-1 in order.
void add_scaled_and_dots_portable(double* const* col, const double* scale,
                                  int32_t count, const double* v,
                                  const double* r, int64_t len, double* s) {
  for (int32_t k = 0; k < count; ++k) {
    double sm = s[k];
    double* c = col[k];
    for (int64_t i = 0; i < len; ++i) {
      c[i] = c[i] + scale[k] * v[i];
      sm = sm + c[i] * r[i];
    }
    s[k] = sm;
  }
}

// add_scaled_and_dots_portable with the second sum d(k) = d(k) + c_k(i)*u(i).
void add_scaled_and_two_dots_portable(double* const* col, const double* scale,
                                      int32_t count, const double* v,
                                      const double* r, const double* u,
                                      int64_t len, double* s, double* d) {
  for (int32_t k = 0; k < count; ++k) {
    double sm = s[k];
    double dm = d[k];
    double* c = col[k];
    for (int64_t i = 0; i < len; ++i) {
      c[i] = c[i] + scale[k] * v[i];
      sm = sm + c[i] * r[i];
      dm = dm + c[i] * u[i];
    }
    s[k] = sm;
    d[k] = dm;
  }
}

// s(k) = s(k) + c_k(i)*r(i) and d(k) = d(k) + c_k(i)*u(i), i in order.
void add_two_dots_portable(double* const* col, int32_t count, const double* r,
                           const double* u, int64_t len, double* s, double* d) {
  for (int32_t k = 0; k < count; ++k) {
    double sm = s[k];
    double dm = d[k];
    const double* c = col[k];
    for (int64_t i = 0; i < len; ++i) {
      sm = sm + c[i] * r[i];
      dm = dm + c[i] * u[i];
    }
    s[k] = sm;
    d[k] = dm;
  }
}

// c(i) = c(i) - v_0(i)*s(0) - ... - v_{count-1}(i)*s(count-1): each product
// is rounded, then subtracted, in that order; separate rows are
// independent.
void subtract_scaled_columns_portable(double* c, const double* const* v,
                                      const double* s, int32_t count,
                                      int64_t len) {
  for (int64_t i = 0; i < len; ++i) {
    double ci = c[i];
    for (int32_t k = 0; k < count; ++k) ci = ci - v[k][i] * s[k];
    c[i] = ci;
  }
}

// c(i) = c(i) + s*v(i); the updates are independent.
void add_scaled_portable(double* c, const double* v, int64_t len, double s) {
  for (int64_t i = 0; i < len; ++i) c[i] = c[i] + s * v[i];
}

// The rotations of each column in turn: the second value of a rotation is
// the first of the next, and stays in a register.
void rotate_columns_portable(double* const* col, int32_t count, const double* cc,
                             const double* ss, int32_t rotations) {
  for (int32_t w = 0; w < count; ++w) {
    double* c = col[w];
    double p = c[0];
    for (int32_t k = 0; k < rotations; ++k) {
      const double q = c[k + 1];
      c[k] = cc[k] * p + ss[k] * q;
      p = -ss[k] * p + cc[k] * q;
    }
    c[rotations] = p;
  }
}

// Reasons for refusing a requested path.
constexpr char refusal_unknown[] = "unknown path (known: portable, avx2, avx512)";
constexpr char refusal_unsupported[] = "not supported by this processor";
constexpr char refusal_not_built[] = "not part of this build";

constexpr KernelPath paths[] = {KernelPath::portable, KernelPath::avx2,
                                KernelPath::avx512};

bool path_built(KernelPath path) {
#ifdef TOVRIN_HAVE_VECTOR_KERNELS
  (void)path;
  return true;
#else
  return path == KernelPath::portable;
#endif
}

bool processor_runs(KernelPath path) {
#ifdef TOVRIN_HAVE_VECTOR_KERNELS
  __builtin_cpu_init();
  switch (path) {
    case KernelPath::avx2:
      return __builtin_cpu_supports("avx2");
    case KernelPath::avx512:
      return __builtin_cpu_supports("avx512f");
    case KernelPath::portable:
      break;
  }
#endif
  return path == KernelPath::portable;
}

// The choice with the requested name copied.
struct StoredChoice {
  KernelChoice choice;
  char requested[32];
};

KernelPath widest_available() {
  KernelPath widest = KernelPath::portable;
  for (KernelPath path : paths) {
    if (kernel_path_available(path)) widest = path;
  }
  return widest;
}

// The process's choice; written only by request_kernel_path.
StoredChoice stored_choice = {{widest_available(), nullptr, nullptr}, {}};

const KernelTable& table_of(KernelPath path) {
#ifdef TOVRIN_HAVE_VECTOR_KERNELS
  if (path == KernelPath::avx512) return avx512_kernels;
  if (path == KernelPath::avx2) return avx2_kernels;
#endif
  (void)path;
  return portable_kernels;
}

}  // namespace

const KernelTable portable_kernels = {
    add_dots_portable,         add_scaled_and_dots_portable,
    add_scaled_and_two_dots_portable, add_two_dots_portable,
    subtract_scaled_columns_portable, add_scaled_portable,
    rotate_columns_portable,
};

const char* kernel_path_name(KernelPath path) {
  switch (path) {
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::avx512:
      return "avx512";
    case KernelPath::portable:
      break;
  }
  return "portable";
}

bool kernel_path_available(KernelPath path) {
  return path_built(path) && processor_runs(path);
}

const KernelChoice& kernel_choice() { return stored_choice.choice; }

void request_kernel_path(const char* name) {
  StoredChoice stored{{widest_available(), nullptr, nullptr}, {}};
  if (name != nullptr && name[0] != '\0') {
    std::strncpy(stored.requested, name, sizeof stored.requested - 1);
    stored.choice.requested = stored_choice.requested;
    stored.choice.refusal = refusal_unknown;
    for (KernelPath path : paths) {
      if (std::strcmp(name, kernel_path_name(path)) != 0) continue;
      if (!path_built(path)) {
        stored.choice.refusal = refusal_not_built;
      } else if (!processor_runs(path)) {
        stored.choice.refusal = refusal_unsupported;
      } else {
        stored.choice.path = path;
        stored.choice.refusal = nullptr;
      }
    }
  }
  stored_choice = stored;
}

KernelPath kernel_path_for(int32_t m, int32_t n) {
  const KernelChoice& choice = kernel_choice();
  if (choice.requested != nullptr && choice.refusal == nullptr) return choice.path;
  const int64_t size = static_cast<int64_t>(m) * n;
  KernelPath path = KernelPath::portable;
  if (size >= avx2_min_size) path = KernelPath::avx2;
  if (size >= avx512_min_size) path = KernelPath::avx512;
  return path < choice.path ? path : choice.path;
}

ColumnKernels::ColumnKernels(KernelPath path) : table_(&table_of(path)) {}

void ColumnKernels::add_dots(double* const* col, int32_t count,
                             const double* v, int64_t len, double* s) const {
  table_->add_dots(col, count, v, len, s);
}

void ColumnKernels::add_scaled_and_dots(double* const* col,
                                        const double* scale, int32_t count,
                                        const double* v, const double* r,
                                        int64_t len, double* s) const {
  table_->add_scaled_and_dots(col, scale, count, v, r, len, s);
}

void ColumnKernels::add_scaled_and_two_dots(double* const* col,
                                            const double* scale, int32_t count,
                                            const double* v, const double* r,
                                            const double* u, int64_t len,
                                            double* s, double* d) const {
  table_->add_scaled_and_two_dots(col, scale, count, v, r, u, len, s, d);
}

void ColumnKernels::add_two_dots(double* const* col, int32_t count,
                                 const double* r, const double* u, int64_t len,
                                 double* s, double* d) const {
  table_->add_two_dots(col, count, r, u, len, s, d);
}

void ColumnKernels::subtract_scaled_columns(double* c, const double* const* v,
                                            const double* s, int32_t count,
                                            int64_t len) const {
  table_->subtract_scaled_columns(c, v, s, count, len);
}

void ColumnKernels::add_scaled(double* c, const double* v, int64_t len,
                               double s) const {
  table_->add_scaled(c, v, len, s);
}

void ColumnKernels::rotate_columns(double* const* col, int32_t count,
                                   const double* cc, const double* ss,
                                   int32_t rotations) const {
  table_->rotate_columns(col, count, cc, ss, rotations);
}

}  // namespace tovrin
