"""How vendrel.solve.root stops: within its evaluation budget, with success wherever a point
meets ftol, and with the best point, by the norm that decides success, where it fails."""

import numpy as np
import pytest
import scipy.sparse

from vendrel.jacobian import SparseJacobian
from vendrel.solve import root


class Counted:
    """fun, counting its calls."""

    def __init__(self, fun):
        self.fun, self.calls = fun, 0

    def __call__(self, x):
        self.calls += 1
        return self.fun(x)


def chain(x):
    # tridiagonal: three groups, so a 3-point Jacobian costs six evaluations with f(x) given
    return x**3 + x - np.r_[x[1:], 0.0] - np.r_[0.0, x[:-1]] - 1.0


CHAIN = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(8, 8), format="csr")


@pytest.mark.parametrize("max_nfev", [1, 3, 4, 5, 6, 7, 8, 10, 14, 15, 21])
# from x0 on the lower bound, the differences are one-sided
@pytest.mark.parametrize("bounds", [(-np.inf, np.inf), (0.0, 10.0)])
def test_a_three_point_jacobian_keeps_within_max_nfev(max_nfev, bounds):
    fun = Counted(chain)
    jac = SparseJacobian(fun, CHAIN, method="3-point", bounds=bounds)
    assert jac.cost(f0_given=True) == 6
    result = root(fun, np.zeros(8), jac=jac, bounds=bounds, max_nfev=max_nfev)
    assert fun.calls == result.nfev <= max_nfev
    assert result.jac_nfev == jac.evaluations == 6 * result.njev
    assert result.status == -1 and not result.success
