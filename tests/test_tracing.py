"""vendrel.tracing on residual functions as users write them: the traced pattern against what
perturbation finds, entries that vanish at a point, what is refused, and the traced array's
NumPy semantics (views, copies, writes)."""

import math

import numpy as np
import pytest
import scipy.sparse

import tracing_corpus as corpus
from vendrel.sparse_solver import SparseSolver
from vendrel.tracing import TracingError, trace_sparsity
from vendrel.tracing import _deps


from tracing_corpus import perturbation_pattern


def random_points(n, count=3, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.uniform(-2.0, 2.0, n) for _ in range(count)]


CASE_IDS = [case[0] for case in corpus.CASES]


@pytest.mark.parametrize("name, fun, n, args", corpus.CASES, ids=CASE_IDS)
def test_traced_pattern_holds_what_perturbation_finds(name, fun, n, args):
    traced = trace_sparsity(fun, np.zeros(n), args=args)
    assert traced.dtype == bool and traced.has_sorted_indices
    dense = traced.toarray()
    found = np.zeros_like(dense)
    for x in random_points(n):
        seen = perturbation_pattern(fun, x, args)
        assert seen.shape == dense.shape
        assert not (seen & ~dense).any(), "perturbation found entries the trace missed"
        found |= seen
    if name not in corpus.NOT_EXACT:
        np.testing.assert_array_equal(dense, found)


@pytest.mark.parametrize("x0", [np.zeros(3), np.array([1.0, 0.0, 2.0]), np.full(3, np.nan)],
                         ids=["zeros", "x1=0", "nan"])
def test_entries_vanishing_at_x0_are_found(x0):
    traced = trace_sparsity(corpus.vanishing, x0).toarray()
    everywhere = np.zeros_like(traced)
    for x in random_points(3):
        everywhere |= perturbation_pattern(corpus.vanishing, x)
    np.testing.assert_array_equal(traced, everywhere)
    at_x0 = perturbation_pattern(corpus.vanishing, np.array([1.0, 0.0, 2.0]))
    assert traced[0, 0] and not at_x0[0, 0]


_SIGNS = np.array([1.0, 0.0, -2.0])


def _upwind(x):
    return np.maximum(_SIGNS, 0) * x + np.minimum(_SIGNS, 0) * x[::-1]


def _scaled_in_place(x):
    r = x.copy()
    r *= _SIGNS
    return r


@pytest.mark.parametrize("fun, rows", [
    (lambda x: 0.0 * x, [[], [], []]),
    (lambda x: x * np.zeros(3), [[], [], []]),
    (lambda x: np.multiply(x, 0, where=True), [[], [], []]),
    (lambda x: np.array([x[0] * 0, x[1] * 2.0, x[2]]), [[], [1], [2]]),
    (_upwind, [[0], [], [0]]),
    (_scaled_in_place, [[0], [], [2]]),
    (lambda x: np.select([_SIGNS > 0, _SIGNS < 0], [x, x[::-1] ** 2], 1.0), [[0], [], [0]]),
    (lambda x: np.choose([0, 1, 1], [x, x[::-1]]), [[0], [1], [0]]),
], ids=["zero-scalar", "zero-array", "ufunc", "loop-elements", "upwind", "in-place",
        "select", "choose"])
def test_a_constant_zero_factor_or_choice_rules_the_dependency_out(fun, rows):
    expected = np.zeros((3, 3), dtype=bool)
    for row, columns in enumerate(rows):
        expected[row, columns] = True
    np.testing.assert_array_equal(trace_sparsity(fun, np.ones(3)).toarray(), expected)
    found = np.zeros_like(expected)
    for x in random_points(3):
        found |= perturbation_pattern(fun, x)
    np.testing.assert_array_equal(found, expected)


def test_solver_is_traced_through_its_python_compute_residuals(capsys):
    import contextlib
    import io
    solver = corpus.Chain()
    x0 = np.array([1.0, 2.0, 3.0, 4.0])
    with contextlib.redirect_stdout(io.StringIO()):
        rows, cols = solver.compute_pattern(x0.copy())
    expected = scipy.sparse.coo_matrix((np.ones(len(rows), bool), (rows, cols)),
                                       shape=(4, 4)).toarray()
    for fun in (solver, solver.compute_residuals):
        np.testing.assert_array_equal(trace_sparsity(fun, x0).toarray(), expected)


def test_a_solver_without_compute_residuals_is_refused():
    class Bare(SparseSolver):
        pass
    with pytest.raises(TypeError, match="Bare does not define compute_residuals"):
        trace_sparsity(Bare(), np.ones(2))


@pytest.mark.parametrize("returned, expected", [
    (lambda x: [x[0] * x[1], 2.0, x[2]], [[1, 1, 0], [0, 0, 0], [0, 0, 1]]),
    (lambda x: (x[:2], np.sin(x[1:]) * x[0]), [[1, 0, 0], [0, 1, 0], [1, 1, 0], [1, 0, 1]]),
    (lambda x: np.array([x[2], 1.0]), [[0, 0, 1], [0, 0, 0]]),
    (lambda x: np.ones(2), [[0, 0, 0], [0, 0, 0]]),
    (lambda x: x.sum(), [[1, 1, 1]]),
    (lambda x: x.reshape(3, 1) * x[1], [[1, 1, 0], [0, 1, 0], [0, 1, 1]]),
], ids=["list", "tuple-of-array", "object-array", "constant", "scalar", "2-D"])
def test_every_form_of_result_flattens_to_rows(returned, expected):
    # The expected rows are checked against perturbation too, so they are not taken on trust.
    expected = np.array(expected, dtype=bool)
    x = np.array([0.3, -1.2, 0.7])
    np.testing.assert_array_equal(perturbation_pattern(returned, x), expected)
    np.testing.assert_array_equal(trace_sparsity(returned, x).toarray(), expected)


def test_shape_dtype_args_and_kwargs_reach_the_function():
    seen = {}

    def fun(x, a, *, b):
        seen.update(shape=x.shape, size=x.size, ndim=x.ndim, len=len(x), dtype=x.dtype)
        return x[:, 0] * a + b
    pattern = trace_sparsity(fun, np.zeros((3, 2), np.float32), args=(2.0,), kwargs={"b": 1.0})
    assert seen == {"shape": (3, 2), "size": 6, "ndim": 2, "len": 3,
                    "dtype": np.dtype(np.float32)}
    # Unknown j is element j of x0 in C order.
    found = perturbation_pattern(lambda v: fun(v.reshape(3, 2), 2.0, b=1.0), np.ones(6))
    np.testing.assert_array_equal(pattern.toarray(), found)


@pytest.mark.parametrize("returned", [lambda x: None, lambda x: {"r": x}, lambda x: "x"],
                         ids=["None", "dict", "str"])
def test_a_result_that_is_not_residuals_is_a_type_error(returned):
    with pytest.raises(TypeError, match="it must return the residuals"):
        trace_sparsity(returned, np.ones(2))


def test_the_docstring_example_runs():
    import doctest
    import vendrel.tracing
    failures, tried = doctest.testmod(vendrel.tracing)
    assert tried and not failures


# --- refusals ----------------------------------------------------------------------------

def _branch(x):
    if x[0] > 0:
        return x
    return -x


# A buffer made before the call (as a constructor would) cannot hold dependencies.
_BUFFER = np.zeros(3)


def _plain_array_target(x):
    r = _BUFFER
    r[0] = x[0]
    return r


def _traced_index(x):
    return x[x.astype(int)]


def _plain_out(x):
    np.add(x, 1.0, out=_BUFFER)
    return _BUFFER


REFUSED = [
    ("np.linalg.solve", lambda x: np.linalg.solve(np.eye(3), x)),
    ("np.linalg.inv", lambda x: np.linalg.inv(np.outer(x, x))),
    ("np.sort", lambda x: np.sort(x)),
    ("np.argsort", lambda x: x[np.argsort(x)]),
    ("indexing with traced values", _traced_index),
    ("np.fft.fft", lambda x: np.fft.fft(x).real),
    ("np.unique", lambda x: np.unique(x)),
    ("np.nonzero", lambda x: x[np.nonzero(x)]),
    ("np.where with one argument", lambda x: np.where(x > 0)[0] * 1.0),
    ("np.piecewise", lambda x: np.piecewise(x, [x > 0], [1.0, 0.0])),
    ("np.histogram", lambda x: np.histogram(x)[0] * 1.0),
    ("np.pad with mode=<function", lambda x: np.pad(x, 1, mode=lambda *args, **kwargs: None)),
    ("indexing with traced values", lambda x: np.bincount(x.astype(int))),
    ("np.dot with a scipy.sparse operand", lambda x: np.dot(scipy.sparse.eye(3, format="csr"), x)),
    ("np.multiply of a traced value and a scipy.sparse",
     lambda x: x * scipy.sparse.csr_array(np.eye(3))),
    (".argmax", lambda x: x.argmax()),
    ("writing traced values into a plain NumPy array", _plain_out),
    ("the array attribute or method .flat", lambda x: x.flat[0]),
]


@pytest.mark.parametrize("operation, fun", REFUSED, ids=[r[0] for r in REFUSED])
def test_untraceable_operations_are_refused_by_name(operation, fun):
    with pytest.raises(TracingError) as caught:
        trace_sparsity(fun, np.ones(3))
    message = str(caught.value)
    assert operation in message
    assert 'method="perturb"' in message


@pytest.mark.parametrize("fun, operation, line", [
    (lambda x: np.linalg.solve(np.eye(3), x), "np.linalg.solve", 0),
    (_branch, "a branch on a traced value", 1),
    (lambda x: np.asarray(x, dtype=object), "a traced array turned into a plain array", 0),
    (lambda x: range(round(x[0])), "a traced value used as an integer", 0),
], ids=["function", "branch", "asarray", "round"])
def test_the_error_names_the_operation_and_the_line_for_a_fallback_warning(fun, operation,
                                                                            line):
    with pytest.raises(TracingError) as caught:
        trace_sparsity(fun, np.ones(3))
    code = fun.__code__
    where = "at test_tracing.py:%d in %s" % (code.co_firstlineno + line, code.co_name)
    assert caught.value.operation == "%s, %s" % (operation, where)
    assert str(caught.value).endswith("(%s)" % where)


@pytest.mark.parametrize("fun, explains", [
    (_branch, "branches on a traced value"),
    (lambda x: max(x[0], x[1]), "branches on a traced value"),
    (lambda x: x if x.sum() else -x, "branches on a traced value"),
    (lambda x: np.array([math.sin(x[0])]), "plain number"),
    (_plain_array_target, "np.zeros_like(x)"),
    (lambda x: np.asarray(x, dtype=object) * 2, "np.asarray"),
    (lambda x: np.ones(3)[:int(x[0])], "used as an integer"),
], ids=["if", "builtin-max", "truth", "math", "buffer-target", "asarray-object", "int"])
def test_values_leaving_the_trace_are_refused_with_an_explanation(fun, explains):
    with pytest.raises(TracingError, match=None) as caught:
        trace_sparsity(fun, np.ones(3))
    assert explains in str(caught.value)
    assert 'method="perturb"' in str(caught.value)


# --- NumPy's semantics of views, copies and writes -----------------------------------------

def _through_reshape_view(x):
    r = np.zeros_like(x)
    grid = r.reshape(2, 3)
    grid[:, 1:] = x.reshape(2, 3)[:, :-1]
    return r


def _into_fancy_copy(x):
    r = x.copy()
    copy = r[[0, 1]]
    copy[:] = x[2]  # a copy: r must not change
    return r


def _into_transposed_view(x):
    r = np.zeros_like(x).reshape(2, 3)
    r.T[0] = x[3:5]
    return r


def _scalar_writes_then_array_read(x):
    r = np.zeros_like(x)
    for i in range(1, len(x)):
        r[i] = x[i - 1]
    return r[::-1] + 0.0


def _overwrite(x):
    r = x * 2
    r[:] = 1.0
    r[2] = x[0]
    r[[1, 1]] = x[[4, 5]]  # the last of repeated positions wins, as in NumPy
    return r


@pytest.mark.parametrize("fun", [_through_reshape_view, _into_fancy_copy, _into_transposed_view,
                                 _scalar_writes_then_array_read, _overwrite],
                         ids=["reshape-view", "fancy-copy", "transposed-view",
                              "buffered-writes", "overwrite"])
def test_views_copies_and_writes_behave_as_in_numpy(fun):
    traced = trace_sparsity(fun, np.zeros(6)).toarray()
    found = np.zeros_like(traced)
    for x in random_points(6):
        found |= perturbation_pattern(fun, x)
    np.testing.assert_array_equal(traced, found)


def test_read_only_views_refuse_writes_as_numpy_does():
    def fun(x):
        view = np.broadcast_to(x[:1], (3,))
        view[0] = 1.0
        return view
    with pytest.raises(ValueError, match="read-only"):
        trace_sparsity(fun, np.ones(3))


@pytest.mark.parametrize("n", [200, 2000])
@pytest.mark.parametrize("loop, entries", [
    (corpus.recurrence_loop, lambda n: n * (n + 1) // 2),
    (corpus.slice_loop, lambda n: 3 * n - 3),
], ids=["elements", "slices"])
def test_a_loop_rebuilds_no_matrix_per_step(n, loop, entries, monkeypatch):
    # O(n) for a loop over elements or small slices: the vectorised merges of whole matrices
    # stay a fixed handful, whatever n.
    calls = []
    original = _deps.gather
    monkeypatch.setattr(_deps, "gather", lambda *a: calls.append(1) or original(*a))
    pattern = trace_sparsity(loop, np.ones(n))
    assert len(calls) <= 3
    assert pattern.nnz == entries(n)


# --- soundness by fault class: each holds what perturbation finds, or is refused ------------

def _layout_like_and_reshape_view(x):
    grid = x.reshape((3, 2), order="F")
    out = np.empty_like(grid)  # order "K": Fortran, as grid is
    flat = out.reshape(-1, order="F")  # so this is a view of out
    out[...] = np.sin(grid)
    return flat


def _layout_ufunc_output(x):
    grid = x.reshape((2, 3)).T  # Fortran-ordered view
    out = grid * 2.0  # NumPy lays the output out as grid
    view = out.ravel(order="K")
    out[0] = x[5]
    return view


def _layout_copy_order(x):
    copy = x.reshape(2, 3).copy(order="F")
    flat = copy.T.reshape(-1)  # C-contiguous transposed: a view
    copy[1] = x[0]
    return flat


def _astype_copies(x):
    single = x.astype(np.float32, copy=False)  # a dtype change always copies
    single[:] = 0.0
    same = x.astype(np.float64, copy=False)  # no change: x itself
    same[0] = x[5]
    strided = x[1::2].astype(np.float64, order="A", copy=False)  # not contiguous: a copy
    strided[:] = 0.0
    return x


def _write_through_imaginary_part(x):
    z = x[:3] + 1j * x[3:]
    z.imag[:] = x[0]
    z.real[1] = 2.0
    np.put(z.imag, [2], 0.0)
    np.copyto(z.real, 1.0, where=[True, False, False])
    return np.concatenate([z.real, z.imag])


def _object_array_mixed_with_floats(x):
    values = np.array([x[0] * x[1], 2.0, x[2]])
    return values * x[3:] + values.imag


def _zero_d_view(x):
    r = np.zeros_like(x).reshape(2, 3)
    top = r[0, ...]  # a view: later writes to r show through it
    corner = r[1, 2, ...]
    r[0] = x[:3]
    r[1, 2] = x[4]
    return np.stack([top[1] * 1.0, corner * 1.0])


def _shape_assignment(x):
    grid = x.copy()
    grid.shape = (3, 2)
    grid[:, 0] = x[4]
    return grid


def _traced_spacing(x):
    return np.trapezoid(x[:3] ** 2, dx=x[5]) if hasattr(np, "trapezoid") else \
        np.trapz(x[:3] ** 2, dx=x[5])


def _cross_axis_view(x):
    c = np.cross(x[:6].reshape(2, 3), x[::-1][:6].reshape(2, 3), axisc=0)  # a moved view
    flat = c.ravel()  # NumPy copies: c is not contiguous
    flat[:] = 0.0
    return c


def _mask_assignment_from_itself(x):
    # A boolean mask assigns element by element: x[3] receives x[1] after x[1] got x[3].
    r = x * 1.0
    r[np.array([True, True, False, True, False, False])] = r[::-2]
    return r


FAULT_CLASSES = [
    ("mask-assignment-overlap", _mask_assignment_from_itself),
    ("cross-axisc", _cross_axis_view),
    ("like-and-reshape-view", _layout_like_and_reshape_view),
    ("ufunc-output-layout", _layout_ufunc_output),
    ("copy-order", _layout_copy_order),
    ("astype-copies", _astype_copies),
    ("imaginary-part-writes", _write_through_imaginary_part),
    ("object-array", _object_array_mixed_with_floats),
    ("0-d-view", _zero_d_view),
    ("shape-assignment", _shape_assignment),
    ("traced-dx", _traced_spacing),
]


@pytest.mark.parametrize("fun", [c[1] for c in FAULT_CLASSES], ids=[c[0] for c in FAULT_CLASSES])
def test_views_layouts_dtypes_and_parts_hold_what_perturbation_finds(fun):
    traced = trace_sparsity(fun, np.zeros(6)).toarray()
    found = np.zeros_like(traced)
    for x in random_points(6):
        found |= perturbation_pattern(fun, x)
    assert not (found & ~traced).any(), "the trace missed entries"
    assert found.any()


def _through_memory(x):
    return x + 0.0 * len(memoryview(x))  # a traced array has no buffer: a TypeError


def _formatted(x):
    r = x ** 2
    print("norm %.3e" % 0.0, f"{np.linalg.norm(r):.3e}")
    return r


@pytest.mark.parametrize("fun, message", [
    (_formatted, "a traced value was formatted as text"),
    (lambda x: x.astype(str), "x.astype(str) cannot be traced"),
    (lambda x: np.add(x, 1.0, order="F"), "np.add with order= cannot be traced"),
    (lambda x: np.interp(x, [0.0, 1.0], [1.0, 2.0], period=x[0]),
     "np.interp with a traced period"),
    (lambda x: np.clip(x, 0.0, 1.0, where=x > 0), "np.clip with where= cannot be traced"),
    (lambda x: np.einsum("i,i->i", x, x, order="F"), "np.einsum with order='F'"),
], ids=["format", "astype-str", "ufunc-order",
        "interp-period", "clip-where", "einsum-order"])
def test_what_cannot_be_followed_is_refused_at_the_users_line(fun, message):
    with pytest.raises(TracingError) as caught:
        trace_sparsity(fun, np.ones(3))
    assert message in str(caught.value)
    assert "in %s)" % fun.__name__ in str(caught.value)


def _swallowed(x):
    try:
        return np.sort(x)
    except Exception:
        return x * 0.0  # the fallback has only the diagonal


def _swallowed_by_a_log(x):
    r = x[::-1] * x
    try:
        print("residual %s" % float(r[0]))
    except TypeError:
        pass
    return r


def test_a_refusal_the_function_swallows_is_raised_when_it_returns():
    with pytest.raises(TracingError, match="np.sort cannot be traced") as caught:
        trace_sparsity(_swallowed, np.ones(3))
    assert "in _swallowed)" in str(caught.value)
    with pytest.raises(TracingError, match="turned into a plain number"):
        trace_sparsity(_swallowed_by_a_log, np.ones(3))


def test_a_crash_is_a_tracing_error_and_still_the_original_type():
    def fun(x):
        return x.reshape(4, 4)
    with pytest.raises(TracingError) as caught:
        trace_sparsity(fun, np.ones(3))
    assert isinstance(caught.value, ValueError)
    assert isinstance(caught.value.__cause__, ValueError)
    assert caught.value.operation.startswith("ValueError while traced, at test_tracing.py:")


@pytest.mark.parametrize("fun, operation", [
    (_swallowed, "np.sort"),
    (_through_memory, "TypeError while traced"),
    (_formatted, "a traced value formatted as text"),
], ids=["swallowed", "crash", "format"])
def test_auto_falls_back_on_any_failure_of_the_trace_naming_it(fun, operation):
    from vendrel.jacobian import detect_sparsity
    x0 = np.array([0.3, 0.5, 0.7])
    with pytest.warns(RuntimeWarning) as warned:
        pattern = detect_sparsity(fun, x0, method="auto")
    text = str(warned[0].message)
    assert "could not be traced (%s, at test_tracing.py:" % operation in text
    assert "in %s)" % fun.__name__ in text
    np.testing.assert_array_equal(pattern.toarray(), perturbation_pattern(fun, x0))


def _softmax(x):
    import scipy.special
    return scipy.special.softmax(x) * 2.0


def _filtered(x):
    import scipy.ndimage
    return scipy.ndimage.uniform_filter1d(x, 3)


def _as_objects(x):
    x = np.asarray(x, dtype=object)
    return x ** 2


@pytest.mark.parametrize("fun, inside, line", [
    (_softmax, "inside scipy.special.softmax, called ", 2),
    (_filtered, "inside scipy.ndimage.uniform_filter1d, called ", 2),
    (_as_objects, "", 1),
], ids=["scipy.special", "scipy.ndimage", "asarray"])
def test_a_refusal_inside_a_library_names_it_and_the_users_line(fun, inside, line):
    with pytest.raises(TracingError) as caught:
        trace_sparsity(fun, np.ones(5))
    code = fun.__code__
    assert str(caught.value).startswith("np.asarray/np.array/np.r_")
    assert str(caught.value).endswith("(%sat test_tracing.py:%d in %s)" % (
        inside, code.co_firstlineno + line, code.co_name))


def _einsum_view(x):
    grid = np.zeros_like(x).reshape(2, 3)
    view = np.einsum("ij->ji", grid)  # nothing summed: NumPy's einsum gives a view
    view[1] = x[:2]
    return grid


def _where_layout(x):
    pairs = np.swapaxes(np.stack([x, x[::-1]]), 0, 1)  # Fortran-ordered
    chosen = np.where(pairs > 0, pairs, 2.0 * pairs)  # laid out as pairs
    return chosen.ravel(order="A")


@pytest.mark.parametrize("fun", [_einsum_view, _where_layout], ids=["einsum-view", "where-layout"])
def test_results_made_by_numpy_functions_are_views_and_layouts_as_numpys(fun):
    traced = trace_sparsity(fun, np.zeros(6)).toarray()
    found = np.zeros_like(traced)
    for x in random_points(6):
        found |= perturbation_pattern(fun, x)
    assert found.any() and not (found & ~traced).any()


def test_the_types_name_no_rule_and_the_modules_import_in_no_circle():
    import ast
    import pathlib
    import vendrel.tracing
    folder = pathlib.Path(vendrel.tracing.__file__).parent
    graph = {}
    for path in folder.glob("_*.py"):
        imported = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module == "vendrel.tracing":
                imported |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith(
                    "vendrel.tracing._"):
                imported.add(node.module.rsplit(".", 1)[1])
        graph[path.stem] = imported
    rules = {"_ufuncs", "_functions", "_contract", "_composite", "_reductions", "_operators"}
    assert not graph["_arrays"] & rules and not graph["_storage"] & rules
    done, active = set(), []

    def visit(module):
        assert module not in active, "import circle: %s" % " -> ".join(active + [module])
        if module in done:
            return
        active.append(module)
        for other in graph.get(module, ()):
            visit(other)
        active.pop()
        done.add(module)
    for module in graph:
        visit(module)
