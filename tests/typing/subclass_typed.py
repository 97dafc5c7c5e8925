"""A typed subclass of SparseSolver: checked with mypy --strict by test_typing.py."""

from typing import List, Tuple

import numpy as np
import numpy.typing as npt

from vendrel.jacobian import estimate_jacobian
from vendrel.sparse_solver import SparseSolver


class Scaled(SparseSolver):
    def __init__(self, factor: float) -> None:
        self.factor = factor

    def compute_residuals(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return self.factor * x


def pattern_and_groups(n: int) -> Tuple[int, List[npt.NDArray[np.int_]]]:
    solver = Scaled(2.0)
    rows, cols = solver.compute_pattern(np.zeros(n))
    groups = solver.find_groups(rows, cols)
    jacobian = estimate_jacobian(solver, np.zeros(n), sparsity=(rows, cols), groups=groups,
                                 abs_step=1e-7)
    return int(jacobian.nnz), groups
