"""The 1-D Brusselator's pattern and start, and a counting wrapper: shared by the tests of
SciPy's solvers as clients, through the adapters and through the drop-ins."""

import numpy as np
import scipy.sparse


def pattern(points):
    """Five diagonals: u and v interleaved, each coupled to its neighbours."""
    return scipy.sparse.diags([1.0] * 5, [-2, -1, 0, 1, 2], shape=(2 * points, 2 * points),
                              format="csr")


def start(points):
    x = np.arange(1, points + 1) / (points + 1)
    y = np.empty(2 * points)
    y[0::2], y[1::2] = 1.0 + np.sin(2 * np.pi * x), 3.0
    return y


class Counted:
    """fun, counting its calls."""

    def __init__(self, fun):
        self.fun, self.calls = fun, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.fun(*args, **kwargs)
