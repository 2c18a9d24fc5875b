// The plain reference solver core: the same contract as nnls.h, one element
// at a time, in namespace reference so that it links beside the optimised
// core.  Used only by the differential test and the benchmark.
#ifndef TOVRIN_NNLS_REFERENCE_H
#define TOVRIN_NNLS_REFERENCE_H

#include <cstdint>

namespace reference {

void nnls(double* a, const std::int32_t* mda, const std::int32_t* m,
          const std::int32_t* n, double* b, double* x, double* rnorm,
          double* w, double* zz, std::int32_t* index, std::int32_t* mode,
          const std::int32_t* maxiter);

double diff(const double* x, const double* y);

void h12(const std::int32_t* mode, const std::int32_t* lpivot,
         const std::int32_t* l1, const std::int32_t* m, double* u,
         const std::int32_t* iue, double* up, double* c,
         const std::int32_t* ice, const std::int32_t* icv,
         const std::int32_t* ncv);

void g1(const double* a, const double* b, double* cterm, double* sterm,
        double* sig);

}  // namespace reference

#endif  // TOVRIN_NNLS_REFERENCE_H
