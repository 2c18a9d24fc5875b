// The dispatchers of the vector kernels' column groups, shared by the AVX2
// and AVX-512 versions: full groups of dot_groups or max_groups vectors of
// columns, then single vectors, then the last count mod lanes columns as
// one padded group.  Included by kernels_avx2.cpp and kernels_avx512.cpp
// inside their unnamed namespace, after their *_groups templates, with
// TOVRIN_KERNEL naming their target and lanes, dot_groups and max_groups
// their constants; each compiles its own copy for its own target.  No
// arithmetic here: only which columns go to which group.

TOVRIN_KERNEL void add_dots(double* const* col, int32_t count, const double* v,
                            int64_t len, double* s) {
  int32_t k = 0;
  for (; k + dot_groups * lanes <= count; k += dot_groups * lanes) {
    add_dots_groups<dot_groups>(col + k, v, len, s + k);
  }
  for (; k + lanes <= count; k += lanes) add_dots_groups<1>(col + k, v, len, s + k);
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, s + k, nullptr);
  add_dots_groups<1>(rest.col, v, len, rest.s);
  rest.write_sums(count - k, s + k, nullptr);
}

TOVRIN_KERNEL void add_scaled_and_dots(double* const* col, const double* scale,
                                       int32_t count, const double* v,
                                       const double* r, int64_t len, double* s) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_scaled_and_dots_groups<max_groups>(col + k, scale + k, max_groups * lanes,
                                           v, r, len, s + k);
  }
  for (; k + lanes <= count; k += lanes) {
    add_scaled_and_dots_groups<1>(col + k, scale + k, lanes, v, r, len, s + k);
  }
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, scale + k, count - k, s + k, nullptr);
  add_scaled_and_dots_groups<1, true>(rest.col, rest.scale, count - k, v, r, len, rest.s);
  rest.write_sums(count - k, s + k, nullptr);
}

TOVRIN_KERNEL void add_scaled_and_two_dots(double* const* col,
                                           const double* scale, int32_t count,
                                           const double* v, const double* r,
                                           const double* u, int64_t len,
                                           double* s, double* d) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_scaled_and_two_dots_groups<max_groups>(col + k, scale + k, max_groups * lanes,
                                               v, r, u, len, s + k, d + k);
  }
  for (; k + lanes <= count; k += lanes) {
    add_scaled_and_two_dots_groups<1>(col + k, scale + k, lanes, v, r, u, len,
                                      s + k, d + k);
  }
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, scale + k, count - k, s + k, d + k);
  add_scaled_and_two_dots_groups<1, true>(rest.col, rest.scale, count - k, v, r, u, len,
                                    rest.s, rest.d);
  rest.write_sums(count - k, s + k, d + k);
}

TOVRIN_KERNEL void add_two_dots(double* const* col, int32_t count,
                                const double* r, const double* u, int64_t len,
                                double* s, double* d) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_two_dots_groups<max_groups>(col + k, r, u, len, s + k, d + k);
  }
  for (; k + lanes <= count; k += lanes) {
    add_two_dots_groups<1>(col + k, r, u, len, s + k, d + k);
  }
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, s + k, d + k);
  add_two_dots_groups<1>(rest.col, r, u, len, rest.s, rest.d);
  rest.write_sums(count - k, s + k, d + k);
}
