"""vendrel.grouping: valid, small groups from every input form, and clear refusals."""

import contextlib
import io
import threading

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

from vendrel.grouping import ORDERS, as_pattern, group_columns, lower_bound

NAMED = [o for o in ORDERS if o != "random"]


def entries(sparsity, shape=None):
    """Distinct (row, col) pairs of a pattern, and its shape, computed independently."""
    if isinstance(sparsity, tuple):
        rows, cols = (np.asarray(a, dtype=np.int64) for a in sparsity)
        if shape is None:
            shape = (int(rows.max()) + 1 if rows.size else 0, int(cols.max()) + 1 if cols.size else 0)
    else:
        coo = scipy.sparse.coo_array(sparsity)
        rows, cols, shape = coo.row.astype(np.int64), coo.col.astype(np.int64), coo.shape
    pairs = np.unique(np.stack([rows, cols], axis=1), axis=0) if rows.size else np.empty((0, 2), int)
    return pairs[:, 0], pairs[:, 1], shape


def assert_valid(sparsity, groups, shape=None):
    rows, cols, (m, n) = entries(sparsity, shape)
    assert groups.shape == (n,) and groups.dtype == np.intp
    if n == 0:
        return
    # Groups are 0 .. G-1, all used; columns without entries are in group 0.
    assert groups.min() == 0 and set(np.unique(groups)) == set(range(groups.max() + 1))
    assert (groups[np.setdiff1d(np.arange(n), cols)] == 0).all()
    # No row holds two columns of one group.
    keys = np.unique(np.stack([rows, groups[cols]], axis=1), axis=0)
    assert len(keys) == len(rows), "two columns of a group share a row"
    counts = np.bincount(rows, minlength=m) if len(rows) else np.zeros(1, int)
    assert groups.max() + 1 >= counts.max()


def first_fit(sparsity, order, shape=None):
    """Greedy first fit in the given order: each column takes the smallest group none of
    its rows uses. Renumbered by first column with entries, as group_columns reports."""
    rows, cols, (m, n) = entries(sparsity, shape)
    csc = scipy.sparse.csc_array((np.ones(len(rows)), (rows, cols)), shape=(m, n))
    csr = csc.tocsr()
    color = np.full(n, -1)
    for j in order:
        column_rows = csc.indices[csc.indptr[j]:csc.indptr[j + 1]]
        neighbours = np.concatenate([csr.indices[csr.indptr[i]:csr.indptr[i + 1]]
                                     for i in column_rows]) if len(column_rows) else []
        used = np.zeros(n + 1, bool)
        taken = color[np.asarray(neighbours, dtype=int)]
        used[taken[taken >= 0]] = True
        color[j] = np.argmin(used)
    label, relabelled = {}, np.zeros(n, dtype=np.intp)
    for j in range(n):
        if csc.indptr[j + 1] > csc.indptr[j]:
            relabelled[j] = label.setdefault(color[j], len(label))
    return relabelled


def grid(side, offsets):
    """A stencil on a side x side grid, as a CSR array."""
    x, y = np.divmod(np.arange(side * side), side)
    rows, cols = [], []
    for dx, dy in offsets:
        inside = (x + dx >= 0) & (x + dx < side) & (y + dy >= 0) & (y + dy < side)
        rows.append((x * side + y)[inside])
        cols.append(((x + dx) * side + y + dy)[inside])
    rows, cols = np.concatenate(rows), np.concatenate(cols)
    return scipy.sparse.csr_array((np.ones(len(rows), bool), (rows, cols)), shape=(side**2,) * 2)


FIVE_POINT = [(0, 0), (1, 0), (-1, 0), (0, 1), (0, -1)]
NINE_POINT = FIVE_POINT + [(1, 1), (1, -1), (-1, 1), (-1, -1)]


def band(n, half_width=2):
    offsets = list(range(-half_width, half_width + 1))
    return scipy.sparse.diags([np.ones(n - abs(k)) for k in offsets], offsets, format="csc")


def arrow(n):
    """A full first row and column and the diagonal: every column shares row 0."""
    k = np.arange(n)
    rows = np.concatenate([np.zeros(n, int), k, k])
    cols = np.concatenate([k, np.zeros(n, int), k])
    return rows, cols


@st.composite
def patterns(draw):
    """Index pairs with duplicates, empty rows and columns, in a random entry order."""
    m, n = draw(st.integers(1, 12)), draw(st.integers(1, 12))
    count = draw(st.integers(0, 40))
    rows = draw(st.lists(st.integers(0, m - 1), min_size=count, max_size=count))
    cols = draw(st.lists(st.integers(0, n - 1), min_size=count, max_size=count))
    return np.array(rows, dtype=np.int64), np.array(cols, dtype=np.int64), (m, n)


@settings(max_examples=150, deadline=None)
@given(patterns(), st.sampled_from(ORDERS), st.integers(0, 3))
def test_every_order_gives_valid_groups(pattern, order, seed):
    rows, cols, shape = pattern
    groups = group_columns((rows, cols), order, seed=seed, shape=shape)
    assert_valid((rows, cols), groups, shape)
    if order in ("natural", "random"):
        permutation = (np.arange(shape[1]) if order == "natural"
                       else np.random.default_rng(seed).permutation(shape[1]))
        np.testing.assert_array_equal(groups, first_fit((rows, cols), permutation, shape))


@settings(max_examples=60, deadline=None)
@given(patterns(), st.randoms(use_true_random=False))
def test_a_given_order_is_greedy_first_fit(pattern, random):
    rows, cols, shape = pattern
    order = list(range(shape[1]))
    random.shuffle(order)
    groups = group_columns((rows, cols), np.array(order), shape=shape)
    np.testing.assert_array_equal(groups, first_fit((rows, cols), order, shape))


@pytest.mark.parametrize("order", ["natural", np.arange(2500)[::-1], "random"])
def test_a_dense_row_is_grouped_exactly(order):
    # Row 0 is long enough to be kept as a bitset of used groups, and more than 64
    # groups are needed, so both fallbacks of the first fit are exercised.
    rows, cols = arrow(2500)
    groups = group_columns((rows, cols), order)
    assert groups.max() + 1 == 2500 == lower_bound((rows, cols))
    permutation = np.random.default_rng(0).permutation(2500) if isinstance(order, str) and \
        order == "random" else (np.arange(2500) if isinstance(order, str) else order)
    np.testing.assert_array_equal(groups, first_fit((rows, cols), permutation))


def test_more_than_64_groups_without_dense_rows():
    rng = np.random.default_rng(1)
    rows = np.repeat(np.arange(40), 90)
    cols = rng.integers(0, 400, len(rows))
    for order in ["natural", rng.permutation(400)]:
        groups = group_columns((rows, cols), order, shape=(40, 400))
        assert groups.max() + 1 > 64
        expected = first_fit((rows, cols), np.arange(400) if isinstance(order, str) else order,
                             (40, 400))
        np.testing.assert_array_equal(groups, expected)


def forms(dense):
    """The same pattern in every input form group_columns takes."""
    csc = scipy.sparse.csc_array(dense)
    unsorted = csc.copy()
    for j in range(unsorted.shape[1]):  # reverse each column's row indices
        start, end = unsorted.indptr[j], unsorted.indptr[j + 1]
        unsorted.indices[start:end] = unsorted.indices[start:end][::-1].copy()
    unsorted.has_sorted_indices = False
    rows, cols = np.nonzero(dense)
    shuffled = np.random.default_rng(2).permutation(np.tile(np.arange(len(rows)), 2))
    yield "dense array", dense
    yield "list of lists", dense.astype(int).tolist()
    yield "csr", scipy.sparse.csr_array(dense)
    yield "csc", csc
    yield "csc, unsorted", unsorted
    yield "coo", scipy.sparse.coo_matrix(dense)
    yield "lil", scipy.sparse.lil_matrix(dense)
    yield "dok", scipy.sparse.dok_matrix(dense)
    yield "bsr", scipy.sparse.bsr_matrix(dense)
    yield "pair, row order", (rows, cols)
    yield "pair, shuffled with duplicates", (rows[shuffled], cols[shuffled].astype(np.uint32))
    yield "pair, int32", (rows.astype(np.int32), cols.astype(np.int32))


@pytest.mark.parametrize("order", ["natural", "dsatur", "best"])
def test_every_input_form_gives_the_same_groups(order):
    dense = np.asarray(grid(7, NINE_POINT).todense())
    dense[0, -1] = dense[-1, 0] = True
    expected = group_columns(dense, order)
    assert_valid(dense, expected)
    for name, sparsity in forms(dense):
        np.testing.assert_array_equal(group_columns(sparsity, order), expected, err_msg=name)
        assert lower_bound(sparsity) == 9, name


def test_explicit_zeros_count_as_entries():
    matrix = scipy.sparse.csr_array((np.array([1.0, 0.0]), np.array([0, 1]), np.array([0, 2])),
                                    shape=(1, 2))
    assert list(group_columns(matrix)) == [0, 1]
    assert lower_bound(matrix) == 2
    assert as_pattern(matrix).nnz == 2


@settings(max_examples=60, deadline=None)
@given(patterns())
def test_as_pattern_is_canonical(pattern):
    rows, cols, shape = pattern
    result = as_pattern((rows, cols), shape=shape)
    assert result.shape == shape and result.dtype == bool and result.format == "csc"
    expected = scipy.sparse.csc_array((np.ones(len(rows)), (rows, cols)), shape=shape)
    expected.sum_duplicates()
    np.testing.assert_array_equal(result.indptr, expected.indptr)
    np.testing.assert_array_equal(result.indices, expected.indices)


@pytest.mark.parametrize("sparsity, bound", [
    (band(300), 5),
    (grid(20, FIVE_POINT), 5),
    (grid(20, NINE_POINT), 9),
    (arrow(300), 300),
])
def test_best_reaches_the_bound_where_it_is_known_to(sparsity, bound):
    assert lower_bound(sparsity) == bound
    groups = group_columns(sparsity)
    assert_valid(sparsity, groups)
    assert groups.max() + 1 == bound


@pytest.mark.parametrize("sparsity", [
    grid(12, FIVE_POINT),
    scipy.sparse.random_array((400, 400), density=0.012, random_state=3, format="csr")
    if hasattr(scipy.sparse, "random_array")
    else scipy.sparse.random(400, 400, density=0.012, random_state=3, format="csr"),
])
def test_best_needs_no_more_groups_than_any_order_and_repeats_itself(sparsity):
    best = group_columns(sparsity, seed=5)
    for order in NAMED + ["random"]:
        assert best.max() <= group_columns(sparsity, order).max(), order
    np.testing.assert_array_equal(best, group_columns(sparsity, seed=5))


def test_groups_serve_scipy_approx_derivative():
    from scipy.optimize._numdiff import approx_derivative

    def fun(x):
        r = x**3
        r[1:] -= x[:-1]
        r[:-2] += np.sin(x[2:])
        return r

    x0 = np.linspace(-1, 1, 60)
    sparsity = band(60)
    groups = group_columns(sparsity)
    sparse = approx_derivative(fun, x0, sparsity=(sparsity, groups))
    dense = approx_derivative(fun, x0)
    np.testing.assert_allclose(sparse.toarray(), dense, rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("sparsity, shape, expected", [
    ((np.array([], int), np.array([], int)), None, []),
    ((np.array([], int), np.array([], int)), (3, 4), [0, 0, 0, 0]),
    ((np.array([0, 0]), np.array([0, 0])), (1, 3), [0, 0, 0]),
    ((np.array([2]), np.array([1])), (3, 3), [0, 0, 0]),
    (np.zeros((2, 3)), None, [0, 0, 0]),
    (np.ones((1, 1)), None, [0]),
    (np.ones((4, 1)), None, [0]),
    (np.ones((1, 4)), None, [0, 1, 2, 3]),
])
def test_small_and_empty_patterns(sparsity, shape, expected):
    groups = group_columns(sparsity, shape=shape)
    assert groups.tolist() == expected
    for order in ORDERS:
        assert group_columns(sparsity, order, shape=shape).tolist() == expected


ROWS, COLS = np.array([0, 1, 2]), np.array([0, 1, 1])


@pytest.mark.parametrize("call, error, message", [
    (lambda: group_columns(np.ones(3)), ValueError,
     "sparsity must be a sparse matrix or array, a dense 2-D array or nested list (a matrix: "
     "its nonzero entries), a tuple (rows, cols) of two 1-D index arrays, or SciPy's tuple "
     "(structure, groups), not an array of shape (3,) and type float64"),
    (lambda: group_columns(np.ones((2, 2, 2))), ValueError, "not an array of shape (2, 2, 2)"),
    (lambda: group_columns((ROWS, -COLS)), ValueError,
     "sparsity's cols must be non-negative; found -1"),
    (lambda: group_columns((ROWS * 1.0, COLS)), TypeError,
     "sparsity's rows must hold integers, not float64"),
    (lambda: group_columns((ROWS, COLS[:2])), ValueError,
     "sparsity's rows and cols must have the same length, not 3 and 2"),
    (lambda: group_columns((ROWS, COLS[:, None])), ValueError,
     "sparsity=(a, b) must be (rows, cols), two one-dimensional index arrays, or (structure, "
     "groups), a matrix and one group per column; got items of 1 and 2 dimensions"),
    (lambda: group_columns((ROWS[:, None], COLS)), ValueError,
     "sparsity=(structure, groups) already holds groups; group_columns takes the structure "
     "alone"),
    (lambda: group_columns((ROWS, COLS), shape=(2, 5)), ValueError,
     "sparsity's rows holds index 2, outside shape (2, 5)"),
    (lambda: group_columns(np.eye(3), shape=(3, 4)), ValueError,
     "shape (3, 4) does not match sparsity's shape (3, 3)"),
    (lambda: group_columns(scipy.sparse.eye(3), shape=(4, 3)), ValueError,
     "shape (4, 3) does not match sparsity's shape (3, 3)"),
    (lambda: group_columns(np.eye(3), shape=(3,)), TypeError,
     "shape must be a pair of integers, not (3,)"),
    (lambda: group_columns(np.eye(3), shape=(3, 2.5)), TypeError,
     "shape must be a pair of integers, not (3, 2.5)"),
    (lambda: group_columns(np.eye(3), "fastest"), ValueError,
     "order must be one of 'best', 'natural', 'dsatur', 'smallest_last', 'largest_first', "
     "'incidence_degree', 'dynamic_largest_first', 'random', or a permutation of the "
     "columns; not 'fastest'"),
    (lambda: group_columns(np.eye(3), [0, 1]), ValueError,
     "order must be a permutation of the 3 columns, not of 2"),
    (lambda: group_columns(np.eye(3), [0, 1, 1]), ValueError,
     "order is not a permutation of the 3 columns: column 1 appears 2 times"),
    (lambda: group_columns(np.eye(3), [0, 1, 3]), ValueError,
     "order is not a permutation of the 3 columns: it holds 3"),
    (lambda: group_columns(np.eye(3), [0.0, 1.0, 2.0]), TypeError,
     "order must be a name or a one-dimensional array of column indices, not [0.0, 1.0, 2.0]"),
    (lambda: group_columns(np.eye(3), seed=-1), ValueError, "seed must not be negative, not -1"),
    (lambda: group_columns(np.eye(3), seed=1.5), TypeError, "seed must be an integer, not 1.5"),
    (lambda: lower_bound(np.ones(3)), ValueError, "not an array of shape (3,)"),
])
def test_refusals_name_the_argument_and_value(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)


def test_a_malformed_sparse_matrix_is_refused_not_read_out_of_bounds():
    matrix = scipy.sparse.csr_array(np.eye(3))
    matrix.indices[1] = 7  # SciPy does not check on its own
    with pytest.raises(ValueError, match="outside the pattern's shape"):
        group_columns(matrix)
    matrix = scipy.sparse.csr_array(np.eye(3))
    matrix.indptr[1] = 5
    with pytest.raises(ValueError, match="index pointers"):
        group_columns(matrix)


def test_nothing_is_printed(capfd):
    with contextlib.redirect_stdout(io.StringIO()) as sink:
        for order in ORDERS:
            group_columns(grid(6, FIVE_POINT), order)
        lower_bound(band(10))
    assert sink.getvalue() == "" and capfd.readouterr() == ("", "")


def test_threads_get_the_results_of_serial_calls():
    patterns = [grid(30, FIVE_POINT), grid(25, NINE_POINT), band(3000), arrow(1500)]
    expected = [group_columns(p) for p in patterns]
    results = [None] * (3 * len(patterns))

    def work(k):
        results[k] = group_columns(patterns[k % len(patterns)])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k, result in enumerate(results):
        np.testing.assert_array_equal(result, expected[k % len(patterns)])
