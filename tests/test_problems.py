"""The MINPACK-2 systems in vendrel.problems: patterns that hold every entry, and solutions
from the standard starts."""

import numpy as np
import pytest
from scipy.optimize._numdiff import approx_derivative

from vendrel.problems import Bratu2D, Bratu3D, ChannelFlow, DrivenCavity, SwirlingFlow
from vendrel.solve import root

SMALL = [Bratu2D(7), Bratu3D(4), DrivenCavity(7, 300.0), ChannelFlow(9), SwirlingFlow(9)]


@pytest.mark.parametrize("problem", SMALL, ids=lambda p: type(p).__name__)
def test_pattern_is_the_jacobians_structure(problem):
    x = problem.start() + 0.05 * np.random.default_rng(1).standard_normal(problem.n)
    dense = approx_derivative(problem, x)
    pattern = problem.pattern().toarray()
    assert pattern.shape == (problem.n, problem.n)
    assert np.all(dense[~pattern] == 0.0)  # nothing outside the pattern
    assert np.all((dense != 0.0) | ~pattern)  # and nothing in it that never moves


@pytest.mark.parametrize("problem, component, expected", [
    # the lower branch at λ = 6: max u 0.797 on fine grids (the README's 317 x 317 gives 0.7971)
    (Bratu2D(40), slice(None), 0.796),
    (ChannelFlow(200), slice(0, None, 4), 1.0),   # u, rising to 1 at the far wall
    (SwirlingFlow(200), slice(4, None, 6), 1.0),  # g, from -1 to the far disk's 1
], ids=["Bratu2D", "ChannelFlow", "SwirlingFlow"])
def test_solved_from_the_standard_start(problem, component, expected):
    ftol = 1e-8 * np.abs(problem(problem.start())).max()
    result = root(problem, problem.start(), sparsity=problem.pattern(), ftol=ftol)
    assert result.success, result.message
    assert result.x[component].max() == pytest.approx(expected, abs=1e-3)
