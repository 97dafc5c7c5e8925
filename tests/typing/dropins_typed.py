"""The drop-ins and the adapters as a type checker sees them: checked with mypy --strict by
test_typing.py. Each result is bound to the type it must have."""

from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse
from scipy.optimize import OptimizeResult

from vendrel.clients import IvpJacobian, LeastSquaresJacobian, MinpackJacobian
from vendrel.jacobian import SparseJacobian
from vendrel.scipy import approx_derivative, fsolve, least_squares, root, solve_ivp

FloatArray = npt.NDArray[np.float64]


def rhs(t: float, y: FloatArray) -> FloatArray:
    return -y


def residual(x: FloatArray) -> FloatArray:
    return x**3 - 1.0


def results(y0: FloatArray) -> float:
    pattern = scipy.sparse.eye_array(len(y0), format="csr")
    ode: OptimizeResult = solve_ivp(rhs, (0.0, 1.0), y0, method="BDF", jac_sparsity=pattern,
                                    vectorized=False, rtol=1e-6, atol=1e-8)
    fitted: OptimizeResult = least_squares(residual, y0, jac="3-point", bounds=(0.0, 2.0),
                                           jac_sparsity=pattern, diff_step=1e-7, workers=None)
    solved: OptimizeResult = root(residual, y0, method="lm", options={"eps": 1e-12})
    x: Any = fsolve(residual, y0, full_output=False, epsfcn=1e-12)
    J: Any = approx_derivative(residual, y0, method="2-point", sparsity=pattern)

    ivp: IvpJacobian = SparseJacobian.for_ivp(rhs, pattern, vectorized=False, output="dense")
    lsq: LeastSquaresJacobian = SparseJacobian.for_least_squares(residual, pattern, (0.0, 2.0),
                                                                 method="3-point")
    minpack: MinpackJacobian = SparseJacobian.for_minpack(residual, pattern, rel_step=1e-8)
    counts: int = ivp.calls + ivp.reused + ivp.evaluations + lsq.calls + minpack.calls
    return float(ode.t[-1] + fitted.cost + solved.x[0] + x[0] + J.shape[0] + counts)
