"""Jacobian sparsity patterns of known structure, and a check of a column grouping.

Every pattern is a boolean `scipy.sparse.csr_array` (`csr_matrix` before SciPy 1.8) with sorted, distinct indices, built
without Python loops over entries, so that n = 10^6 takes well under a second. Only
NumPy and SciPy are needed, so that tests can use these too.
"""

import itertools

import numpy as np
import scipy.sparse

# csr_array arrived in SciPy 1.8; older releases have only the matrix class.
_csr_type = getattr(scipy.sparse, "csr_array", scipy.sparse.csr_matrix)


def stencil(shape, offsets, periodic=False, order="C"):
    """The pattern of a stencil on a grid of `shape` points, numbered in `order` ("C":
    last axis fastest, "F": first axis fastest): row i has an entry in column j when grid
    point j is point i moved by one of the `offsets` (tuples as long as `shape`) and still
    on the grid, or wrapped around it when `periodic`."""
    shape = tuple(shape)
    n = int(np.prod(shape))
    point = np.arange(n)
    where = np.unravel_index(point, shape, order=order)
    rows, cols = [], []
    for offset in offsets:
        moved = [w + d for w, d in zip(where, offset)]
        inside = np.ones(n, dtype=bool)
        for m, size in zip(moved, shape):
            if periodic:
                m %= size
            else:
                inside &= (m >= 0) & (m < size)
        rows.append(point[inside])
        cols.append(np.ravel_multi_index([m[inside] for m in moved], shape, order=order))
    return _csr(np.concatenate(rows), np.concatenate(cols), (n, n))


def star(dimensions, reach=1):
    """The centre and the points up to `reach` steps along each axis."""
    offsets = [(0,) * dimensions]
    for axis in range(dimensions):
        for step in range(1, reach + 1):
            for sign in (1, -1):
                offset = [0] * dimensions
                offset[axis] = sign * step
                offsets.append(tuple(offset))
    return offsets


def cube(dimensions, reach=1):
    """Every point within `reach` steps along every axis: 9, 25, 27 points."""
    return list(itertools.product(range(-reach, reach + 1), repeat=dimensions))


def diamond(dimensions, reach):
    """Every point within `reach` in the 1-norm: the 2-D 13-point (biharmonic) stencil."""
    return [d for d in cube(dimensions, reach) if sum(abs(c) for c in d) <= reach]


def nineteen_point():
    """The 3-D 19-point stencil: the 27-point cube without its eight corners."""
    return [d for d in cube(3) if sum(abs(c) for c in d) <= 2]


# Offsets of the stencils by name, as the benchmarks and tests use them.
STENCILS = {
    "5-point": lambda: star(2), "9-point": lambda: cube(2), "13-point": lambda: diamond(2, 2),
    "25-point": lambda: cube(2, 2), "9-point star": lambda: star(2, 2),
    "7-point": lambda: star(3), "13-point star": lambda: star(3, 2),
    "19-point": nineteen_point, "27-point": lambda: cube(3),
}


def species(spatial, count, by_point=True):
    """`count` unknowns per point of a spatial pattern, each coupled to itself at the points
    of the stencil and to the other species at its own point (reaction-diffusion), numbered
    species by point (all of a point's unknowns together) or point by species."""
    spatial = scipy.sparse.coo_array(spatial) if hasattr(scipy.sparse, "coo_array") \
        else scipy.sparse.coo_matrix(spatial)
    n = spatial.shape[0]
    kind = np.arange(count)
    # Each species at the stencil's points, then every pair of species at one point.
    rows = [np.add.outer(spatial.row, 0 * kind), np.repeat(np.arange(n), count * count)]
    cols = [np.add.outer(spatial.col, 0 * kind), np.repeat(np.arange(n), count * count)]
    same = np.broadcast_to(kind, (len(spatial.row), count))
    pairs = np.tile(np.stack(np.meshgrid(kind, kind, indexing="ij")).reshape(2, -1), n)
    row_species = [same, pairs[0]]
    col_species = [same, pairs[1]]
    rows = np.concatenate([r.ravel() for r in rows])
    cols = np.concatenate([c.ravel() for c in cols])
    row_species = np.concatenate([r.ravel() for r in row_species])
    col_species = np.concatenate([c.ravel() for c in col_species])
    if by_point:
        return _csr(rows * count + row_species, cols * count + col_species, (n * count,) * 2)
    return _csr(row_species * n + rows, col_species * n + cols, (n * count,) * 2)


def band(n, width=2):
    """|i - j| <= width: 2 * width + 1 entries in the rows away from the ends."""
    return stencil((n,), [(d,) for d in range(-width, width + 1)])


def grid2d(m, points=5):
    """The 5-point (centre and the four next points) or 9-point (and the diagonals)
    stencil on an m x m grid: n = m^2."""
    if points == 5:
        offsets = [(0, 0), (1, 0), (-1, 0), (0, 1), (0, -1)]
    elif points == 9:
        offsets = list(itertools.product((-1, 0, 1), repeat=2))
    else:
        raise ValueError("points must be 5 or 9, not %r" % (points,))
    return stencil((m, m), offsets)


def grid3d(m):
    """The 7-point stencil on an m x m x m grid: n = m^3."""
    offsets = [(0, 0, 0)]
    for axis in range(3):
        for step in (1, -1):
            offset = [0, 0, 0]
            offset[axis] = step
            offsets.append(tuple(offset))
    return stencil((m, m, m), offsets)


def random_columns(n, per_column=5, seed=0):
    """n x n with `per_column` distinct rows drawn at random in each column (seeded)."""
    rng = np.random.default_rng(seed)
    # Sorted draws from n - k + 1 values plus 0 .. k-1 are k distinct rows.
    drawn = np.sort(rng.integers(0, n - per_column + 1, size=(n, per_column)), axis=1)
    rows = (drawn + np.arange(per_column)).ravel()
    cols = np.repeat(np.arange(n), per_column)
    return _csr(rows, cols, (n, n))


def arrow(n):
    """A full first row, a full first column and the diagonal: one row of n entries."""
    every = np.arange(n)
    first = np.zeros(n, dtype=np.int64)
    rows = np.concatenate([first, every, every])
    cols = np.concatenate([every, first, every])
    return _csr(rows, cols, (n, n))


def clashes(pattern, groups):
    """How many entries find their (row, group) already taken by another entry: 0 exactly
    when no two columns of a group share a row. Raises ValueError when `groups` does not give each
    column a group number in 0 .. groups.max()."""
    pattern = scipy.sparse.coo_array(pattern)
    pattern.sum_duplicates()
    groups = np.asarray(groups)
    n_cols = pattern.shape[1]
    if groups.shape != (n_cols,) or groups.dtype.kind not in "iu":
        raise ValueError("groups must hold one integer per column (%d), not %r of %s"
                         % (n_cols, groups.shape, groups.dtype))
    if n_cols and groups.min() < 0:
        raise ValueError("groups must not be negative; found %d" % groups.min())
    count = int(groups.max()) + 1 if n_cols else 0
    key = pattern.row.astype(np.int64) * count + groups[pattern.col]
    return int(len(key) - len(np.unique(key)))


def _csr(rows, cols, shape):
    data = np.ones(len(rows), dtype=bool)
    pattern = _csr_type((data, (rows, cols)), shape=shape)
    pattern.sum_duplicates()
    pattern.sort_indices()
    if pattern.nnz <= np.iinfo(np.int32).max:
        # int32 indices, as SciPy's own constructors (diags, eye, ...) give them.
        pattern = _csr_type((pattern.data, pattern.indices.astype(np.int32),
                             pattern.indptr.astype(np.int32)), shape=shape)
    return pattern


def five_point_residual(x):
    """A cheap vectorised residual with the 5-point pattern on a square grid: 4u + u**3 minus
    the four neighbours, each an in-place shifted update (n = side**2 unknowns)."""
    side = int(round(len(x) ** 0.5))
    u = x.reshape(side, side)
    r = 4.0 * u + u**3
    r[1:] -= u[:-1]
    r[:-1] -= u[1:]
    r[:, 1:] -= u[:, :-1]
    r[:, :-1] -= u[:, 1:]
    return r.reshape(-1)


def finite_elements(mesh, element, refine):
    """The pattern of a finite-element matrix (two unknowns coupled when an element holds
    both) from scikit-fem: `mesh` and `element` are the names of its classes ("MeshTri",
    "ElementTriP2"), the mesh refined `refine` times."""
    import skfem

    basis = skfem.Basis(getattr(skfem, mesh)().refined(refine), getattr(skfem, element)())
    dofs = basis.element_dofs  # unknowns per element, one column per element
    per, count = dofs.shape
    incidence = scipy.sparse.csr_matrix(
        (np.ones(dofs.size, dtype=np.float32), dofs.T.ravel(),
         np.arange(0, dofs.size + 1, per)), shape=(count, basis.N))
    product = scipy.sparse.coo_matrix(incidence.T @ incidence)
    return _csr(product.row, product.col, product.shape)


def _stencil_case(name, shape, **options):
    return lambda: stencil(shape, STENCILS[name](), **options)


def cases(quick=False):
    """(name, kind, build) of the benchmark's patterns that NumPy and SciPy build alone;
    `kind` names the stencil (or "random", "arrow") for the targets."""
    if quick:
        return [
            ("band n=1e4", "band", lambda: band(10**4)),
            ("5-point m=100", "5-point", lambda: grid2d(100)),
            ("9-point m=100", "9-point", lambda: grid2d(100, points=9)),
            ("13-point m=100", "13-point", _stencil_case("13-point", (100, 100))),
            ("9-point star m=60", "9-point star", _stencil_case("9-point star", (60, 60))),
            ("3-D 7-point m=20", "7-point", lambda: grid3d(20)),
            ("3-D 7-point torus 14", "7-point",
             _stencil_case("7-point", (14, 14, 14), periodic=True)),
            ("3-D 19-point m=12", "19-point", _stencil_case("19-point", (12, 12, 12))),
            ("2 species 5-point m=60", "species",
             lambda: species(grid2d(60), 2)),
            ("random 5/col n=1e4", "random", lambda: random_columns(10**4)),
            ("arrow n=1e4", "arrow", lambda: arrow(10**4)),
        ]
    return [
        ("band n=1e4", "band", lambda: band(10**4)),
        ("band n=1e6", "band", lambda: band(10**6)),
        ("5-point m=300", "5-point", lambda: grid2d(300)),
        ("5-point m=1000", "5-point", lambda: grid2d(1000)),
        ("9-point m=300", "9-point", lambda: grid2d(300, points=9)),
        ("13-point m=200", "13-point", _stencil_case("13-point", (200, 200))),
        ("13-point m=300", "13-point", _stencil_case("13-point", (300, 300))),
        ("25-point m=300", "25-point", _stencil_case("25-point", (300, 300))),
        ("9-point star m=150", "9-point star", _stencil_case("9-point star", (150, 150))),
        ("3-D 7-point m=20", "7-point", lambda: grid3d(20)),
        ("3-D 7-point m=50", "7-point", lambda: grid3d(50)),
        ("3-D 7-point torus 21", "7-point",
         _stencil_case("7-point", (21, 21, 21), periodic=True)),
        ("3-D 7-point 80x80x4", "7-point", _stencil_case("7-point", (80, 80, 4))),
        ("3-D 13-point star m=30", "13-point star", _stencil_case("13-point star", (30, 30, 30))),
        ("3-D 19-point m=25", "19-point", _stencil_case("19-point", (25, 25, 25))),
        ("3-D 27-point m=50", "27-point", _stencil_case("27-point", (50, 50, 50))),
        ("2 species 5-point m=300, by point", "species", lambda: species(grid2d(300), 2)),
        ("2 species 5-point m=300, by species", "species",
         lambda: species(grid2d(300), 2, by_point=False)),
        ("2 species 3-D 7-point m=30", "species", lambda: species(grid3d(30), 2)),
        ("random 5/col n=1e4", "random", lambda: random_columns(10**4)),
        ("random 5/col n=1e5", "random", lambda: random_columns(10**5)),
        ("arrow n=1e4", "arrow", lambda: arrow(10**4)),
        ("arrow n=1e5", "arrow", lambda: arrow(10**5)),
    ]


def fem_cases(quick=False):
    """(name, kind, build) of scikit-fem's P1 and P2 patterns on its unit square and cube."""
    levels = {"MeshTri": (9, 8), "MeshTet": (6, 5)} if not quick else \
        {"MeshTri": (6, 5), "MeshTet": (4, 3)}
    found = []
    for mesh, element in (("MeshTri", "ElementTriP"), ("MeshTet", "ElementTetP")):
        for degree, refine in zip((1, 2), levels[mesh]):
            name = "FE %s P%d, refined %d" % (mesh[4:], degree, refine)
            found.append((name, "fem", lambda m=mesh, e=element + str(degree), r=refine:
                          finite_elements(m, e, r)))
    return found
