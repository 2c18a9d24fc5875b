"""Every text the package shows a user: errors, warnings, result notes.

The front door (tovrin._solver) formats these with ``str.format`` when it
raises or warns; tovrin.dask uses the same table for its own checks.  The
tests compare against these texts verbatim.
"""

# Arguments of tovrin.nnls, tovrin.nnls_gram and tovrin.dask.nnls.
NOT_REAL = "{name} must hold real numbers (integer or floating point), not {dtype}"
NOT_READABLE = "{name} could not be read as an array of float64"
MASKED = ("{name} is a masked array, whose mask the solver cannot honour: pass "
          "{name}.filled(value), or leave out the masked rows")
MATRIX_RANK = "A must be 2-dimensional, got shape {shape}"
RHS_RANK = "b must be 1- or 2-dimensional, got shape {shape}"
ROWS_DIFFER = "b has {rows} rows but A has {m}"
ROWS_DIFFER_TRANSPOSED = ("b has {rows} rows but A has {m}; did you mean {fix}? "
                          "(A is (m, n), b is (m,) or (m, k) with one problem per column)")
TOO_LARGE = "A has shape {shape}; the solver takes at most {largest} rows and columns"
NOT_FINITE = "{name} must not contain NaN or infinity"
POSITIVE_INT = "{name} must be None or an int >= 1, got {value!r}"
METHOD = "method must be one of 'exact', 'gram', 'auto', got {value!r}"
X0_EXACT = ("x0 cannot be used with method='exact', whose results are fixed bit for bit "
            "from a cold start; use method='gram' or 'auto', or leave out x0")
X0_SHAPE = "x0 must have shape {want} to match {against}, got shape {shape}"
GRAM_SHAPE = "AtA must be a square 2-dimensional array, got shape {shape}"
GRAM_ASYMMETRIC = ("AtA must be symmetric: AtA[{i}, {j}] = {gij!r} but AtA[{j}, {i}] = {gji!r}")
GRAM_DIAGONAL = ("AtA must be positive semi-definite, but its diagonal entry AtA[{i}, {i}] = "
                 "{value!r} is negative")
ATB_SHAPE = "Atb must have shape ({n},) or ({n}, k) to match AtA, got shape {shape}"
BTB_SHAPE = "btb must have shape {want} to match Atb, got shape {shape}"
BTB_NEGATIVE = "btb must not be negative (it is b^T b), got {value!r}"

# tovrin.dask.nnls: B as a dask array.
B_NOT_DASK = ("B must be a dask array (dask.array.Array), not {kind}; "
              "tovrin.nnls solves arrays held in memory")
B_NOT_2D = "B must be 2-d with shape (m, K), not {ndim}-d"
B_ROWS = "B has {rows} rows but A has {m}"
B_ROWS_UNKNOWN = "B has an unknown number of rows; call B.compute_chunk_sizes() first"
DASK_MISSING = 'tovrin.dask needs Dask: pip install "dask[array,distributed]"'

# tovrin.dask.nnls: A as a dask array chunked along its rows.
EXACT_NEEDS_A = ("method='exact' needs A in memory in one piece, but A is a dask array: use "
                 "method='gram' or 'auto', which read A block by block, or "
                 "tovrin.nnls(A.compute(), ...) when A fits in memory")
X0_NEEDS_DASK_A = ("x0 is taken only with A as a dask array (the Gram form of one tall "
                   "problem); with A in memory every block of B is solved from a cold start")
TALL_B_RANK = "B must have shape (m,) or (m, k), got shape {shape}"
A_ROWS_UNKNOWN = "A has an unknown number of rows; call A.compute_chunk_sizes() first"
NOT_FINITE_ROWS = ("{name} must not contain NaN or infinity; its block of rows "
                   "{start}:{stop} holds one")
TALL_INACCURATE_ONE = ("the Gram-form result may be inaccurate (status GRAM_INACCURATE): its "
                       "optimality conditions do not hold against A within rounding; "
                       "method='auto' solves it again by the exact method when A fits in memory")
TALL_INACCURATE_MANY = ("{count} of {total} Gram-form results may be inaccurate (status "
                        "GRAM_INACCURATE): their optimality conditions do not hold against A "
                        "within rounding; method='auto' solves them again by the exact method "
                        "when A fits in memory")
TALL_KEPT_ONE = ("the Gram-form result may be inaccurate (status GRAM_INACCURATE), and A does "
                 "not fit in memory for the exact method ({need:.3g} GB needed, "
                 "{available:.3g} GB available), so it stays flagged")
TALL_KEPT_MANY = ("{count} of {total} Gram-form results may be inaccurate (status "
                  "GRAM_INACCURATE), and A does not fit in memory for the exact method "
                  "({need:.3g} GB needed, {available:.3g} GB available), so they stay flagged")

# Warnings, one of each class per call: ONE for a single problem, MANY with
# the count of k.
LIMIT_ONE = ("the solver stopped on the iteration limit (maxiter={maxiter}) before "
             "reaching the solution")
LIMIT_MANY = "{count} of {total} problems stopped on the iteration limit (maxiter={maxiter})"
INACCURATE_ONE = ("the Gram-form result may be inaccurate (status GRAM_INACCURATE): the "
                  "problem is too ill-conditioned for A^T A; use method='exact'")
INACCURATE_MANY = ("{count} of {total} Gram-form results may be inaccurate (status "
                   "GRAM_INACCURATE): too ill-conditioned for A^T A; use method='exact'")
INDEFINITE_ONE = ("AtA is not positive semi-definite (status GRAM_INDEFINITE): a pivot of "
                  "its factorisation was negative, so it is not the Gram matrix A^T A of any "
                  "A; the result is not a solution")
INDEFINITE_MANY = ("{count} of {total} problems met an AtA that is not positive "
                   "semi-definite (status GRAM_INDEFINITE): it is not the Gram matrix A^T A "
                   "of any A; those results are not solutions")
NON_FINITE_ONE = ("the result is not finite (status NOT_FINITE): the data hold NaN or "
                  "infinity, or x, rnorm or dual lies beyond the range of float64")
NON_FINITE_MANY = ("{count} of {total} results are not finite (status NOT_FINITE): their "
                   "data hold NaN or infinity, or their x, rnorm or dual lies beyond the "
                   "range of float64")
