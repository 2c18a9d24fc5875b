// Least-squares solver core: non-negative least squares by the active-set
// method of Lawson and Hanson, with the Householder and Givens kernels it is
// built on.
//
// Every argument is passed by reference (a scalar as the address of one
// value, an array as the address of its first element), integers are signed
// 32-bit and indices are 1-based.  Matrices are column-major doubles: element
// (i, j) of a matrix with leading dimension mda lies (i-1) + (j-1)*mda
// elements after the first.  The routines work in place on caller storage
// and keep no state between calls; they allocate nothing (nnls keeps a work
// vector of its look-ahead on its stack, and runs without it, to the same
// results, on problems of more than 4096 columns).
#ifndef TOVRIN_NNLS_H
#define TOVRIN_NNLS_H

#include <cstdint>

extern "C" {

// Minimise ||A*x - b|| subject to x >= 0.
//
// On entry a holds A (m rows used of each of n columns, leading dimension
// mda >= m, which is not checked) and b holds b; x, rnorm, w, zz, index and
// mode are ignored.  maxiter bounds the number of triangular solves; a value
// below 1 selects 3*n.
//
// On return (mode 1 = solved, 3 = iteration limit reached):
//   a, b   hold Q*A and Q*b for the orthogonal Q applied during the run;
//   x      the solution, rnorm = ||b(nsetp+1..m)|| the residual norm;
//   w      the dual vector A'(b - A x): 0 on P, <= 0 on Z after mode 1;
//   index  the solution set P in index(1..nsetp), the zero set Z after it;
//   zz     working values.
// With m <= 0 or n <= 0 only mode is written, with the value 2.
// Rows m+1..mda of a are never touched.
void nnls(double* a, const std::int32_t* mda, const std::int32_t* m,
          const std::int32_t* n, double* b, double* x, double* rnorm,
          double* w, double* zz, std::int32_t* index, std::int32_t* mode,
          const std::int32_t* maxiter);

// x - y.  The independence test of nnls passes a sum already rounded to a
// double through here, so the test cannot be simplified algebraically.
double diff(const double* x, const double* y);

// Construct (mode != 2) and/or apply (mode 2, and mode 1 after construction)
// the Householder reflection Q = I + v*v'/(up*s) that maps
// (u(lpivot), u(l1..m)) to (s, 0, ..., 0) with |s| the Euclidean norm.
//
//   u       the defining vector, element k at (k-1)*max(iue, 0) from u.
//           Mode 1 replaces u(lpivot) by s; u(l1..m) keep their values and
//           are the rest of v.  Read only in mode 2.
//   up      v(lpivot) = u_p - s, written in mode 1, read in mode 2.
//   c       ncv vectors: element k of vector j at
//           c[(j-1)*icv + (k-1)*ice], each replaced by Q*c.
//
// Only indices lpivot and l1..m take part.  Returns without effect when
// lpivot <= 0, lpivot >= l1 or l1 > m; when the vector is zero (mode 1) or
// u(lpivot) is zero (mode 2); and leaves c unchanged when ncv <= 0 or when
// up*s is not negative.  c is never touched when ncv <= 0.
void h12(const std::int32_t* mode, const std::int32_t* lpivot,
         const std::int32_t* l1, const std::int32_t* m, double* u,
         const std::int32_t* iue, double* up, double* c,
         const std::int32_t* ice, const std::int32_t* icv,
         const std::int32_t* ncv);

// The plane rotation [c s; -s c] that carries (a, b) onto (sig, 0), with
// c^2 + s^2 = 1 and sig = sqrt(a^2 + b^2) formed without squaring a or b.
// a and b are read before anything is written, so sig may alias a or b.
// For a = b = 0 the result is c = 0, s = 1, sig = 0.
void g1(const double* a, const double* b, double* cterm, double* sterm,
        double* sig);

}  // extern "C"

#endif  // TOVRIN_NNLS_H
