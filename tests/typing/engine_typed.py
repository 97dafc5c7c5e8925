"""The engine's results as a type checker sees them: checked with mypy --strict by test_typing.py.

Each result is bound to a variable of the type it must have, so that a wrong type fails the
check; engine_misuse.py checks the converse, which a result typed Any would pass.
"""

from typing import Union

import numpy as np
import numpy.typing as npt
import scipy.sparse

from vendrel.grouping import as_pattern, group_columns, lower_bound
from vendrel.jacobian import SparseJacobian, detect_sparsity, estimate_jacobian


def residual(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    r: npt.NDArray[np.float64] = x**2
    r[:-1] -= x[1:]
    return r


def results(x0: npt.NDArray[np.float64], output: str) -> float:
    pattern: scipy.sparse.csr_array = detect_sparsity(residual, x0)
    groups: npt.NDArray[np.intp] = group_columns(pattern)
    bound: int = lower_bound(pattern)
    canonical: scipy.sparse.csc_array = as_pattern(pattern)

    by_rows: scipy.sparse.csr_array = estimate_jacobian(residual, x0, sparsity=pattern)
    by_columns: scipy.sparse.csc_array = estimate_jacobian(residual, x0, sparsity=pattern,
                                                           output="csc")
    dense: npt.NDArray[np.float64] = estimate_jacobian(residual, x0, sparsity=pattern,
                                                       output="dense")
    chosen: Union[scipy.sparse.csr_array, scipy.sparse.csc_array, npt.NDArray[np.float64]] = \
        estimate_jacobian(residual, x0, sparsity=pattern, output=output)

    with SparseJacobian(residual, pattern) as jacobian:
        again: scipy.sparse.csr_array = jacobian(x0)
        plan_groups: npt.NDArray[np.intp] = jacobian.groups
    csc_plan = SparseJacobian(residual, pattern, output="csc")
    again_by_columns: scipy.sparse.csc_array = csc_plan(x0)
    dense_plan = SparseJacobian(residual, pattern, output="dense", order="dsatur", seed=2)
    dense_again: npt.NDArray[np.float64] = dense_plan(x0)
    most: int = dense_plan.cost(f0_given=True)

    return float(by_rows.sum() + by_columns.sum() + dense.sum() + again.sum()
                 + again_by_columns.sum() + dense_again.sum() + groups.sum() + bound
                 + plan_groups.sum() + canonical.nnz + chosen.shape[0] + most)
