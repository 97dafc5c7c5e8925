"""vendrel.grouping on stencil patterns: "best" reaches the lower bound through a lattice
colouring, whatever the numbering, the box's shape or the number of species."""

import itertools

import numpy as np
import pytest
import scipy.sparse

from vendrel.grouping import ORDERS, group_columns, lower_bound


def stencil(shape, offsets, periodic=False, order="C"):
    """Row i has an entry in column j when point j is point i moved by an offset."""
    n = int(np.prod(shape))
    where = np.unravel_index(np.arange(n), shape, order=order)
    rows, cols = [], []
    for offset in offsets:
        moved = [w + d for w, d in zip(where, offset)]
        inside = np.ones(n, dtype=bool)
        for m, size in zip(moved, shape):
            if periodic:
                m %= size
            else:
                inside &= (m >= 0) & (m < size)
        rows.append(np.arange(n)[inside])
        cols.append(np.ravel_multi_index([m[inside] for m in moved], shape, order=order))
    rows, cols = np.concatenate(rows), np.concatenate(cols)
    return scipy.sparse.csr_array((np.ones(len(rows), bool), (rows, cols)), shape=(n, n))


def cube(dims, reach=1):
    return list(itertools.product(range(-reach, reach + 1), repeat=dims))


def star(dims, reach=1):
    return [d for d in cube(dims, reach) if sum(c != 0 for c in d) <= 1]


def diamond(dims, reach):
    return [d for d in cube(dims, reach) if sum(abs(c) for c in d) <= reach]


def species(spatial, count, by_point):
    """Each species coupled to itself by the spatial stencil and to every species at its own
    point, numbered species by point or point by species."""
    coo = scipy.sparse.coo_array(spatial)
    n = spatial.shape[0]
    blocks = {(s, s): coo for s in range(count)}
    point = scipy.sparse.coo_array(scipy.sparse.eye(n))
    rows, cols = [], []
    for s, t in itertools.product(range(count), repeat=2):
        for part in ([blocks[s, s]] if s == t else []) + [point]:
            r, c = part.row, part.col
            rows.append(r * count + s if by_point else s * n + r)
            cols.append(c * count + t if by_point else t * n + c)
    rows, cols = np.concatenate(rows), np.concatenate(cols)
    return scipy.sparse.csr_array((np.ones(len(rows), bool), (rows, cols)),
                                  shape=(n * count,) * 2)


def count_valid(pattern, groups):
    """The number of groups, after checking that no row holds two columns of one group."""
    coo = scipy.sparse.coo_array(pattern)
    coo.sum_duplicates()
    keys = np.unique(np.stack([coo.row, groups[coo.col]], axis=1), axis=0)
    assert len(keys) == coo.nnz, "two columns of a group share a row"
    return int(groups.max()) + 1


STENCILS = [
    ("band", (60,), star(1, 2)),
    ("5-point", (13, 17), star(2)),
    ("9-point", (12, 11), cube(2)),
    ("13-point", (16, 15), diamond(2, 2)),
    ("25-point", (12, 13), cube(2, 2)),
    ("7-point", (7, 8, 9), star(3)),
    ("13-point star", (9, 10, 9), star(3, 2)),
    ("27-point", (6, 7, 8), cube(3)),
    ("5-point, thin", (3, 40), star(2)),
    ("7-point, thin", (12, 11, 2), star(3)),
    ("7-point, thin first axis", (2, 12, 11), star(3)),
    ("27-point, thin", (10, 3, 9), cube(3)),
]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("name, shape, offsets", STENCILS, ids=[s[0] for s in STENCILS])
def test_best_reaches_the_bound_on_every_stencil(name, shape, offsets, order):
    pattern = stencil(shape, offsets, order=order)
    groups = group_columns(pattern)
    assert count_valid(pattern, groups) == lower_bound(pattern)


@pytest.mark.parametrize("shape, offsets", [
    ((21, 21, 21), star(3)),    # (i + 2j + 3k) mod 7 wraps around 21 = 3 x 7
    ((15, 20), star(2)),        # sizes that 5 divides
    ((26, 13), diamond(2, 2)),  # and 13
    ((100,), star(1, 2)),
], ids=["7-point", "5-point", "13-point", "band"])
def test_best_reaches_the_bound_on_tori_whose_sizes_admit_it(shape, offsets):
    pattern = stencil(shape, offsets, periodic=True)
    assert count_valid(pattern, group_columns(pattern)) == lower_bound(pattern) == len(offsets)


@pytest.mark.parametrize("by_point", [True, False], ids=["by point", "by species"])
@pytest.mark.parametrize("shape, offsets, count", [
    ((14, 15), star(2), 2),
    ((7, 6, 8), star(3), 2),
    ((6, 7, 6), star(3), 3),
], ids=["2-D, 2 species", "3-D, 2 species", "3-D, 3 species"])
def test_best_reaches_the_bound_on_species_coupled_pointwise(shape, offsets, count, by_point):
    pattern = species(stencil(shape, offsets), count, by_point)
    assert lower_bound(pattern) == len(offsets) + count - 1
    assert count_valid(pattern, group_columns(pattern)) == lower_bound(pattern)


@pytest.mark.parametrize("shape, offsets, at_most", [
    ((30, 30), star(2, 2), 10),   # the 9-point star: no cyclic colouring of 9
    ((9, 9, 9), [d for d in cube(3) if sum(map(abs, d)) <= 2], 21),  # the 19-point stencil
], ids=["9-point star", "19-point"])
def test_best_reaches_the_smallest_cyclic_colouring_where_the_bound_has_none(
        shape, offsets, at_most):
    pattern = stencil(shape, offsets)
    assert lower_bound(pattern) < count_valid(pattern, group_columns(pattern)) <= at_most


def test_goldfarb_and_toint_counts():
    # Goldfarb and Toint (1984): the 5-point stencil needs 5 groups and the 3-D 7-point
    # stencil 7, with the colourings (i + 2j) mod 5 and (i + 2j + 3k) mod 7; Curtis,
    # Powell and Reid (1974): a tridiagonal matrix needs 3.
    i, j, k = np.indices((9, 10, 11)).reshape(3, -1)
    pattern = stencil((9, 10, 11), star(3))
    assert count_valid(pattern, (i + 2 * j + 3 * k) % 7) == 7
    assert count_valid(pattern, group_columns(pattern)) == 7
    pattern = stencil((12, 10), star(2))
    assert count_valid(pattern, group_columns(pattern)) == 5
    assert count_valid(stencil((50,), star(1)), group_columns(stencil((50,), star(1)))) == 3


def with_couplings(pattern, count, seed=4):
    """The pattern with `count` random entries added: rows no stencil explains."""
    pattern = scipy.sparse.lil_array(pattern)
    for r, c in np.random.default_rng(seed).integers(0, pattern.shape[1], size=(count, 2)):
        pattern[r, c] = True
    return pattern.tocsr()


def test_irregular_rows_are_repaired_and_every_order_stays_valid():
    # A 7-point stencil with some random couplings added: the lattice colouring misfits
    # there, and the columns it does not fit are recoloured.
    pattern = with_couplings(stencil((8, 9, 10), star(3)), 12)
    counts = {order: count_valid(pattern, group_columns(pattern, order)) for order in ORDERS}
    assert counts["best"] == min(counts.values())
    assert counts["best"] <= lower_bound(pattern) + 2


def test_a_lattice_colouring_past_64_groups_is_repaired():
    # (i + 13j) mod 85 tiles the plane with the 85-point diamond; the first fit's word of
    # 64 groups does not hold it, and each added coupling costs at most one misfit column.
    clean = stencil((27, 28), diamond(2, 6))
    pattern = with_couplings(clean, 6)
    best = count_valid(pattern, group_columns(pattern))
    assert count_valid(clean, group_columns(clean)) == lower_bound(clean) == 85
    assert best <= 85 + 6 < count_valid(pattern, group_columns(pattern, "natural"))


def test_a_renumbered_stencil_falls_back_to_the_search():
    # The same 5-point grid with its columns and rows shuffled has no box numbering; the
    # orderings and the search still find a valid grouping, the same on every call.
    pattern = stencil((20, 20), star(2))
    shuffle = np.random.default_rng(0).permutation(400)
    shuffled = scipy.sparse.csr_array(pattern[shuffle][:, shuffle])
    groups = group_columns(shuffled)
    assert count_valid(shuffled, groups) <= 6
    np.testing.assert_array_equal(groups, group_columns(shuffled))


@pytest.mark.parametrize("shape, offsets, expected", [
    ((10, 10), star(2), (5, 7, 6)),
    ((17, 17), star(2), (7, 7, 7)),
    ((50, 50), star(2), (5, 7, 7)),
    ((10, 10), cube(2), (11, 9, 10)),
    ((50, 50), cube(2), (12, 9, 12)),
    ((12, 12, 12), star(3), (11, 12, 12)),
    ((30, 30), diamond(2, 2), (18, 19, 18)),
    ((10, 10, 10), cube(3), (33, 27, 34)),
], ids=["5-point 10", "5-point 17", "5-point 50", "9-point 10", "9-point 50", "7-point 12",
        "13-point 30", "27-point 10"])
def test_degree_orderings_count_as_coleman_and_mores_routines(shape, offsets, expected):
    # The counts of MINPACK's slo, ido and largest-first sequencing (PETSc's MatColoring
    # types sl, id, lf, run on these patterns): the same ties broken the same way.
    pattern = stencil(shape, offsets)
    found = tuple(count_valid(pattern, group_columns(pattern, order))
                  for order in ("smallest_last", "largest_first", "incidence_degree"))
    assert found == expected


@pytest.mark.parametrize("shape, offsets, winner", [
    ((9, 8, 7), star(3), "lattice"),          # no ordering reaches 7 here
    ((40,), [(-1,), (0,), (1,)], "natural"),  # natural order is at the bound already
])
def test_column_grouping_names_what_reached_the_bound(shape, offsets, winner):
    from vendrel.grouping import column_grouping

    found = column_grouping(stencil(shape, offsets))
    assert (found.order, found.count) == (winner, found.lower_bound)
