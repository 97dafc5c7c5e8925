"""The Jacobian as a linear operator, as SciPy's approx_derivative makes it: each product J p
is one difference along p (two for 3-point), so no pattern is needed."""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

from vendrel import _steps
from vendrel._evaluation import Residual, check_result


def linear_operator(residual: Residual, x0: npt.NDArray[np.float64], narrow: Any,
                    f0: Optional[npt.NDArray[Any]], rel_step: Optional[npt.NDArray[np.float64]],
                    method: str) -> Tuple[Any, int]:
    """The operator and the evaluations made to build it (f(x0), unless given)."""
    from scipy.sparse.linalg import LinearOperator

    residual = Residual(residual.target, residual.args, residual.kwargs, narrow)
    made = 0
    if f0 is None:
        f0 = np.array(check_result(residual(x0.copy()), lambda: "x0 (the base)"))
        made = 1
    m, n = len(f0), len(x0)
    h = rel_step if rel_step is not None else _steps.relative_eps(narrow, f0.dtype, method)
    base = f0

    def matvec(p: Any) -> npt.NDArray[Any]:
        p = np.asarray(p).reshape(-1)
        if not p.any():
            return np.zeros(m)
        norm = np.linalg.norm(p)
        if method == "2-point":
            dx = h / norm
            df = check_result(residual(x0 + dx * p), lambda: "a product", m) - base
        elif method == "3-point":
            dx = 2 * h / norm
            f1 = check_result(residual(x0 - (dx / 2) * p), lambda: "a product", m)
            f2 = check_result(residual(x0 + (dx / 2) * p), lambda: "a product", m)
            df = f2 - f1
        else:
            dx = h / norm
            df = check_result(residual(x0 + dx * p * 1.j), lambda: "a product", m, "", True).imag
        quotient: npt.NDArray[Any] = df / dx
        return quotient

    return LinearOperator((m, n), matvec), made
