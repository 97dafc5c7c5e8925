"""Arguments the SparseSolver stub refuses, as the class does at run time: test_typing.py
expects an error on exactly the lines marked ``# error: <code>``.

The arrays are bound to names first: given inline, a call's expected type would steer NumPy's
overloads to their untyped fallback and hide the mistake.
"""

import numpy as np

from vendrel.sparse_solver import SparseSolver


def mistakes(solver: SparseSolver) -> None:
    narrow = np.zeros(3, dtype=np.float32)
    rows, cols = solver.compute_pattern(narrow)  # error: arg-type
    wide_rows, wide_cols = rows.astype(np.int64), cols.astype(np.int64)
    solver.find_groups(wide_rows, cols)  # error: arg-type
    solver.find_groups(rows, wide_cols)  # error: arg-type
