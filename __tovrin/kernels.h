// Vector kernels of the solver core, in a portable, an AVX2 and an AVX-512
// version, one of which the process chooses at run time.  They serve the
// solver's dominant steps, the dual vector and the application of a new
// reflection to the columns of Z: both are, for each of many independent
// columns c, a running sum s = s + c(i)*v(i) over a range of rows, and the
// reflection then adds a multiple of v to the column.  The back-substitution
// subtracts multiples of columns of R.
//
// Exactness: each column's sum keeps one accumulator and adds its rounded
// products in increasing row order, exactly as the one-column loop does.
// Speed comes only from working on several columns at once: a vector lane
// holds one column's sum.  The vector kernels load a few consecutive rows of
// each column (four with AVX2, eight with AVX-512), transpose the block so
// that each vector holds one row of all the columns, and add the rows to the
// accumulators one after the other.  Separate columns fill the pipeline that
// a single sequential sum leaves idle.  Every product is rounded before it
// is added: multiplies and adds are separate instructions, never a fused
// multiply-add.  The three versions therefore give the same bits.
#ifndef TOVRIN_KERNELS_H
#define TOVRIN_KERNELS_H

#include <cstdint>

namespace tovrin {

// Columns handled together by the blocked kernels.
constexpr std::int32_t block_columns = 16;
// Columns of R whose subtractions share one pass over the right-hand side.
constexpr std::int32_t substitution_columns = 8;
// Plane rotations that rotate_columns applies in one call.
constexpr std::int32_t max_rotations = 32;

// The versions of the kernels, in increasing order of vector width.
enum class KernelPath { portable, avx2, avx512 };

// Name of a path: "portable", "avx2" or "avx512".
const char* kernel_path_name(KernelPath path);

// Whether this build holds the path and this processor (and its operating
// system) runs it.
bool kernel_path_available(KernelPath path);

// The process's choice: the widest available path, unless a path was
// requested (request_kernel_path).  A requested path that is unknown or not
// available is refused: the automatic choice runs instead, and the refusal
// is recorded here so that a report can show it.
struct KernelChoice {
  KernelPath path;
  // The name requested, or null when none was.
  const char* requested;
  // Why the requested path is not the one running, or null.
  const char* refusal;
};
const KernelChoice& kernel_choice();

// Requests the path named (a copy of the name is kept) for every later
// solve of this copy of the core, or the automatic choice for null or "".
// The solver core reads no environment and no configuration: the package's
// extension passes the value of its environment variable
// TOVRIN_EXACT_KERNELS, the core's tests theirs; the low-level module
// never requests one.  Not to be called while a solve runs.
void request_kernel_path(const char* name);

// Sizes m*n of a problem from which the automatic choice takes AVX2 and
// AVX-512: on smaller problems a vector kernel's set-up costs more than its
// lanes save, on short columns and few of them.  Measured on a Xeon with
// AVX-512 (bench/results.md); a forced path serves every size.
constexpr std::int64_t avx2_min_size = 16 * 16;
constexpr std::int64_t avx512_min_size = 160 * 160;

// The path of a solve of an m x n problem: the forced one, or the widest
// available one that the size pays for.
KernelPath kernel_path_for(std::int32_t m, std::int32_t n);

// One version's functions (kernel_tables.h); the contracts are those of
// ColumnKernels.
struct KernelTable;

// The kernels of one path.  They allocate nothing and keep no state.
class ColumnKernels {
 public:
  explicit ColumnKernels(KernelPath path);

  // s(k) = s(k) + sum over i of c_k(i)*v(i), i = 0..len-1 in order, for
  // count <= block_columns columns.
  void add_dots(double* const* col, std::int32_t count, const double* v,
                std::int64_t len, double* s) const;

  // For count <= block_columns columns: c_k(i) = c_k(i) + scale(k)*v(i), then
  // s(k) = s(k) + c_k(i)*r(i) with the updated value, i = 0..len-1 in order.
  void add_scaled_and_dots(double* const* col, const double* scale,
                           std::int32_t count, const double* v, const double* r,
                           std::int64_t len, double* s) const;

  // add_scaled_and_dots with a second sum over the updated values:
  // d(k) = d(k) + c_k(i)*u(i), i = 0..len-1 in order.
  void add_scaled_and_two_dots(double* const* col, const double* scale,
                               std::int32_t count, const double* v,
                               const double* r, const double* u,
                               std::int64_t len, double* s, double* d) const;

  // s(k) = s(k) + c_k(i)*r(i) and d(k) = d(k) + c_k(i)*u(i), i = 0..len-1
  // in order, for count <= block_columns columns.
  void add_two_dots(double* const* col, std::int32_t count, const double* r,
                    const double* u, std::int64_t len, double* s,
                    double* d) const;

  // c(i) = c(i) - v_0(i)*s(0) - v_1(i)*s(1) - ... - v_{count-1}(i)*s(count-1),
  // i = 0..len-1, for count <= substitution_columns columns v_k: the
  // subtractions in that order, each product rounded on its own.
  void subtract_scaled_columns(double* c, const double* const* v,
                               const double* s, std::int32_t count,
                               std::int64_t len) const;

  // c(i) = c(i) + s*v(i), i = 0..len-1.
  void add_scaled(double* c, const double* v, std::int64_t len, double s) const;

  // Rotations k = 0..rotations-1 (rotations <= max_rotations), in that
  // order, of rows (k, k+1) of count <= block_columns columns:
  // (c(k), c(k+1)) becomes (cc(k)*c(k) + ss(k)*c(k+1),
  // -ss(k)*c(k) + cc(k)*c(k+1)), both formed from the old pair, each product
  // rounded on its own.
  void rotate_columns(double* const* col, std::int32_t count, const double* cc,
                      const double* ss, std::int32_t rotations) const;

 private:
  const KernelTable* table_;
};

}  // namespace tovrin

#endif  // TOVRIN_KERNELS_H
