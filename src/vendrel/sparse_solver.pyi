"""Sparse Jacobian structure by finite differences."""

from typing import Any

import numpy
import numpy.typing as npt

class SparseSolver:
    """Subclass it and define compute_residuals(x) for your problem."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def compute_residuals(self, x: npt.NDArray[numpy.float64]) -> npt.NDArray[numpy.float64]:
        """The residuals at x; the class's own version prints a line and returns zeros."""
    def compute_pattern(
        self, x0: npt.NDArray[numpy.float64]
    ) -> tuple[npt.NDArray[numpy.int32], npt.NDArray[numpy.int32]]:
        """The Jacobian's sparsity pattern at x0 as (rows, cols), in column-major order."""
    def find_groups(
        self, rows: npt.NDArray[numpy.int32], cols: npt.NDArray[numpy.int32]
    ) -> list[npt.NDArray[numpy.int_]]:
        """Positions of the pattern, gathered by groups of structurally orthogonal columns."""

# The module's globals: numpy, scipy (with scipy.linalg loaded) and test.test_os.groups
# (an empty list where the interpreter has none).
np: Any
scipy: Any
groups: Any
