"""vendrel.grouping.symmetric_grouping: star and acyclic colourings that recover every entry of a
symmetric matrix, at the known counts on bands, grids and arrowheads, and clear refusals."""

import numpy as np
import pytest
import scipy.sparse
from scipy.sparse.csgraph import connected_components

from vendrel.grouping import (SYMMETRIC_ORDERS, SymmetricGrouping, symmetric_grouping)


def band(n, rho):
    """Symmetric band with rho off-diagonals (rho // 2 on each side)."""
    k = np.arange(n)
    return np.abs(k[:, None] - k[None, :]) <= rho // 2


def grid(side):
    """The 2-D five-point stencil."""
    path = scipy.sparse.diags([np.ones(side - 1), np.ones(side), np.ones(side - 1)], [-1, 0, 1])
    eye = scipy.sparse.eye(side)
    return (scipy.sparse.kron(path, eye) + scipy.sparse.kron(eye, path)).tocsc() != 0


def arrowhead(n, k, body):
    """k dense rows and columns over a diagonal (body 0) or tridiagonal (body 1) pattern."""
    a = band(n, 2 * body)
    a[:k, :] = a[:, :k] = True
    return a


def random_symmetric(n, density, seed):
    rng = np.random.default_rng(seed)
    a = rng.random((n, n)) < density
    return a | a.T | np.eye(n, dtype=bool)


def values_on(pattern, seed=0):
    """A symmetric matrix of small integers on the pattern (exact in any order of sums)."""
    rng = np.random.default_rng(seed)
    dense = np.asarray(scipy.sparse.csr_array(pattern).toarray(), dtype=bool)
    values = rng.integers(1, 9, size=dense.shape).astype(float)
    values = np.triu(values) + np.triu(values, 1).T
    return np.where(dense, values, 0.0)


def adjacency(pattern):
    dense = np.asarray(scipy.sparse.csr_array(pattern).toarray(), dtype=bool)
    np.fill_diagonal(dense, False)
    return dense


def assert_star(pattern, colors):
    """Distance-1, and every edge has an end whose row holds one column of the other end's colour."""
    adj = adjacency(pattern)
    rows, cols = np.nonzero(adj)
    assert (colors[rows] != colors[cols]).all(), "two neighbours share a colour"
    per_colour = np.zeros((len(colors), colors.max() + 1), int)
    np.add.at(per_colour, (rows, colors[cols]), 1)
    alone = (per_colour[rows, colors[cols]] == 1) | (per_colour[cols, colors[rows]] == 1)
    assert alone.all(), "an entry is mixed in both of its rows"


def assert_acyclic(pattern, colors):
    """Distance-1, and the edges of every two colours form a forest."""
    adj = adjacency(pattern)
    rows, cols = np.nonzero(adj)
    assert (colors[rows] != colors[cols]).all(), "two neighbours share a colour"
    for a in range(colors.max() + 1):
        for b in range(a + 1, colors.max() + 1):
            keep = np.isin(colors, (a, b))
            sub = adj[np.ix_(keep, keep)]
            edges = np.count_nonzero(sub) // 2
            parts, _ = connected_components(sub, directed=False)
            assert edges == keep.sum() - parts, "colours %d and %d close a cycle" % (a, b)


CHECKS = {"star": assert_star, "acyclic": assert_acyclic}

PATTERNS = {
    "band2": band(30, 2), "band6": band(40, 6), "grid": grid(9), "arrow": arrowhead(25, 2, 1),
    "random_sparse": random_symmetric(60, 0.03, 1), "random_dense": random_symmetric(40, 0.2, 2),
    "diagonal": np.eye(7, dtype=bool), "empty_row": band(10, 2) & (np.arange(10) != 4)[:, None]
    & (np.arange(10) != 4)[None, :],
}


@pytest.mark.parametrize("kind", ["star", "acyclic"])
@pytest.mark.parametrize("order", SYMMETRIC_ORDERS)
@pytest.mark.parametrize("name", PATTERNS)
def test_colouring_recovers_every_entry(name, order, kind):
    pattern = PATTERNS[name]
    g = symmetric_grouping(pattern, kind, order)
    colors = g.colors
    CHECKS[kind](pattern, colors)
    assert g.lower_bound <= g.count == colors.max() + 1
    H = values_on(pattern)
    product = H @ g.seed_matrix().toarray()
    for output in ("csr", "csc", "dense"):
        got = g.decompress(product, output)
        dense = got if output == "dense" else got.toarray()
        np.testing.assert_array_equal(dense, H)
    assert g.pattern.nnz == scipy.sparse.csr_array(pattern).count_nonzero()


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", ["star", "acyclic"])
def test_random_patterns_recover_by_their_method(kind, seed):
    rng = np.random.default_rng(seed)
    pattern = random_symmetric(int(rng.integers(20, 80)), float(rng.uniform(0.02, 0.15)), seed)
    g = symmetric_grouping(pattern, kind)
    CHECKS[kind](pattern, g.colors)
    H = values_on(pattern, seed) + np.diag(rng.normal(size=len(pattern)))
    np.testing.assert_allclose(g.decompress(H @ g.seed_matrix().toarray(), "dense"), H,
                               rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("order", SYMMETRIC_ORDERS)
def test_dense_rows_over_a_random_body(order, seed):
    # Hubs of high degree whose stars grow from many sides: the bookkeeping of each vertex's
    # hubs and of its star per neighbouring colour is what keeps the colouring a star one.
    rng = np.random.default_rng(seed)
    pattern = random_symmetric(120, 0.02, seed)
    dense = rng.choice(120, size=3, replace=False)
    pattern[dense, :] = pattern[:, dense] = True
    for kind in ("star", "acyclic"):
        g = symmetric_grouping(pattern, kind, order)
        CHECKS[kind](pattern, g.colors)
        H = values_on(pattern, seed)
        np.testing.assert_array_equal(g.decompress(H @ g.seed_matrix().toarray(), "dense"), H)


@pytest.mark.parametrize("rho", [2, 4, 6, 8, 10])
def test_bands_at_the_bound(rho):
    assert symmetric_grouping(band(200, rho), "star").count == 2 * (rho // 2) + 1
    assert symmetric_grouping(band(200, rho), "acyclic").count == rho // 2 + 1


@pytest.mark.parametrize("side", [10, 40])
def test_grid_star_at_five(side):
    assert symmetric_grouping(grid(side), "star").count == 5


@pytest.mark.parametrize("side", [5, 10, 40])
def test_grid_acyclic_at_three(side):
    g = symmetric_grouping(grid(side), "acyclic")
    assert g.count == 3
    assert_acyclic(grid(side), g.colors)


@pytest.mark.parametrize("k", [1, 2, 4])
def test_arrowheads(k):
    diagonal = symmetric_grouping(arrowhead(300, k, 0), "star")
    assert diagonal.count == k + 1
    assert symmetric_grouping(arrowhead(300, k, 1), "star").count <= k + 3
    assert symmetric_grouping(arrowhead(300, k, 1), "acyclic").count <= k + 2


def test_lower_bound_is_met_on_a_clique_and_an_arrow():
    assert symmetric_grouping(np.ones((6, 6), bool)).lower_bound == 6
    # A full row is no clique: its star colouring takes two colours, and the bound says so.
    arrow = symmetric_grouping(arrowhead(50, 1, 0))
    assert arrow.lower_bound == arrow.count == 2


def test_out_receives_the_values():
    pattern = band(12, 4)
    g = symmetric_grouping(pattern, "acyclic")
    H = values_on(pattern)
    product = H @ g.seed_matrix().toarray()
    for output in ("csr", "csc", "dense"):
        out = g.decompress(np.zeros_like(product), output)
        assert g.decompress(product, output, out=out) is out
        np.testing.assert_array_equal(out if output == "dense" else out.toarray(), H)


def test_symmetrise_takes_the_union():
    upper = np.triu(band(10, 4))
    with pytest.raises(ValueError) as error:
        symmetric_grouping(upper)
    assert str(error.value) == ("sparsity is not symmetric: entry (0, 1) is in it and (1, 0) is "
                                "not; pass symmetrise=True for the union with its transpose")
    g = symmetric_grouping(upper, symmetrise=True)
    np.testing.assert_array_equal(g.pattern.toarray(), band(10, 4))


@pytest.mark.parametrize("call, message", [
    (lambda: symmetric_grouping(np.ones((3, 4))), "sparsity must be square for a symmetric "
     "matrix, not 3 x 4"),
    (lambda: symmetric_grouping(np.eye(3), "greedy"), "kind must be one of 'star', 'acyclic', "
     "not 'greedy'"),
    (lambda: symmetric_grouping(np.eye(3), order="dsatur"), "order must be one of %s, not "
     "'dsatur'" % ", ".join(map(repr, SYMMETRIC_ORDERS))),
    (lambda: symmetric_grouping(np.eye(3)).decompress(np.ones((3, 2))), "B must have shape "
     "(3, 1) (rows, colours), not (3, 2)"),
])
def test_refusals(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize("kind", ["star", "acyclic"])
def test_colours_that_cannot_recover_are_refused(kind):
    # A path 0-1-2-3 in two colours: neither a star nor (with the cycle closed) a forest.
    cycle = band(4, 2)
    cycle[0, 3] = cycle[3, 0] = True
    g = symmetric_grouping(cycle, kind)
    bad = SymmetricGrouping(g.pattern, np.array([0, 1, 0, 1]), 2, 2, kind, "given")
    with pytest.raises(ValueError, match="do not make a %s colouring: entry" % kind):
        bad.decompress(np.ones((4, 2)))
