"""Mistakes a type checker must catch: test_typing.py runs mypy --strict on this file and
expects an error on exactly the lines marked ``# error: <code>``."""

import numpy as np
import numpy.typing as npt
import scipy.sparse

from vendrel.grouping import group_columns
from vendrel.jacobian import SparseJacobian, estimate_jacobian


def residual(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return 2.0 * x


def mistakes(x0: npt.NDArray[np.float64], pattern: scipy.sparse.csr_array) -> None:
    dense: scipy.sparse.csr_array = estimate_jacobian(residual, x0, sparsity=pattern, output="dense")  # error: assignment
    by_rows: npt.NDArray[np.float64] = estimate_jacobian(residual, x0, sparsity=pattern)  # error: assignment
    by_columns: scipy.sparse.csr_array = estimate_jacobian(residual, x0, sparsity=pattern, output="csc")  # error: assignment
    plan = SparseJacobian(residual, pattern, output="dense")
    planned: scipy.sparse.csr_array = plan(x0)  # error: assignment
    groups: npt.NDArray[np.float64] = group_columns(pattern)  # error: assignment
    print(dense, by_rows, by_columns, planned, groups)
