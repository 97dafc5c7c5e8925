"""Sparsity patterns of common discretisations, as int32 (rows, cols) in column-major order."""

import numpy as np


def column_major(pattern):
    """(rows, cols) int32 arrays of a boolean matrix, by column then row."""
    cols, rows = np.nonzero(pattern.T)
    return rows.astype(np.int32), cols.astype(np.int32)


def laplacian_pattern(side):
    """The five-point Laplacian on a side x side grid."""
    n = side * side
    a = np.eye(n, dtype=bool)
    for k in range(n):
        i, j = divmod(k, side)
        for di, dj in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            if 0 <= i + di < side and 0 <= j + dj < side:
                a[k, (i + di) * side + j + dj] = True
    return column_major(a)


def banded_pattern(n, half_width=2):
    """n columns with 2 * half_width + 1 diagonals."""
    k = np.arange(n)
    a = np.abs(k[:, None] - k[None, :]) <= half_width
    return column_major(a)
