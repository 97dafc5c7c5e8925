"""What a user could write instead: both methods in plain Python and NumPy, printing the
same lines. `say` is the print function to use (the benchmarks record or replay it).
The grouping is the tests' own plain-Python statement of it."""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from grouping_model import find_groups  # noqa: E402,F401

STEP = 1e-06


def compute_pattern(residuals, x0, say=print):
    """The pattern of residuals' Jacobian at x0, as (rows, cols) int32 arrays."""
    n = len(x0)
    rows, cols = [], []
    base = np.array(residuals(x0), dtype=float)
    for i in range(n):
        saved = x0[i]
        x0[i] = saved + STEP
        try:
            perturbed = residuals(x0)
        finally:
            x0[i] = saved
        for j in np.flatnonzero(perturbed[:n] != base[:n]).tolist():
            say(j, i, "is a thing")
            rows.append(j)
            cols.append(i)
    return np.array(rows, dtype=np.intc), np.array(cols, dtype=np.intc)
