"""A picture of a sparsity pattern with each column coloured by its group (needs matplotlib)."""

from typing import Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["plot_groups"]


def plot_groups(rows: npt.ArrayLike, cols: npt.ArrayLike, groups: Sequence[npt.ArrayLike],
                shape: "tuple[int, int]", path: str) -> None:
    """Writes a PNG of the pattern (rows, cols) with the nonzeros of each group in one colour.

    `groups` holds positions into rows and cols, as SparseSolver.find_groups returns them.
    The picture is 600 x 600 pixels.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows, cols = np.asarray(rows), np.asarray(cols)
    group_of = np.zeros(len(rows), dtype=int)
    for k, positions in enumerate(groups):
        group_of[np.asarray(positions, dtype=int)] = k
    m, n = shape
    colours = plt.get_cmap("tab10" if len(groups) <= 10 else "tab20", max(len(groups), 1))

    figure, axes = plt.subplots(figsize=(6, 6), dpi=100)
    try:
        axes.scatter(cols, rows, c=[colours(k) for k in group_of], marker="s",
                     s=max(4.0, 12000.0 / max(m, n) ** 2))
        axes.set_xlim(-0.5, n - 0.5)
        axes.set_ylim(m - 0.5, -0.5)
        axes.set_aspect("equal")
        axes.set_xlabel("column (state entry)")
        axes.set_ylabel("row (residual entry)")
        evaluations = len(groups) + 1
        axes.set_title("Jacobian pattern, %d nonzeros, columns coloured by group\n"
                       "%d groups: %d evaluations instead of %d (saves %d)"
                       % (len(rows), len(groups), evaluations, n + 1, n + 1 - evaluations),
                       fontsize=10)
        figure.tight_layout()
        figure.savefig(path, dpi=100)
    finally:
        plt.close(figure)
