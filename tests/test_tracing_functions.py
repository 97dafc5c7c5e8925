"""Each traced NumPy function, ufunc method and product on its own, against perturbation."""

import numpy as np
import pytest
import scipy.sparse

from tracing_corpus import found_by_perturbation
from vendrel.tracing import trace_sparsity

N = 12
MASK = np.arange(N) % 3 != 1
KERNEL = np.array([1.0, 0.0, -2.0])
DENSE = np.array([[1.0, 0.0, 2.0], [0.0, 0.0, 3.0], [4.0, 0.0, 0.0], [0.0, 5.0, 0.0]])
SPARSE = scipy.sparse.csr_array(DENSE)
SPARSE_MATRIX = scipy.sparse.csr_matrix(DENSE.T @ DENSE)


def grid(x):
    return x.reshape(3, 4)


def _out_where(x):
    r = np.zeros_like(x)
    np.add(x, x[::-1], out=r, where=MASK)
    return r


def _at(x):
    r = x.copy()
    np.add.at(r, [0, 0, 2], x[[5, 6, 7]])
    return r


def _copyto(x):
    r = x * 2
    np.copyto(r, x[::-1], where=MASK)
    return r


def _put(x):
    r = x + 1
    np.put(r, [1, 4], x[-2:])
    return r


def _scalar_into_element(x):
    r = np.zeros_like(x)
    r[0] = x[3:4].reshape(())  # a 0-d array into one element
    r[1] = x[2].sum() + x[4].reshape(1)[0] + x[5].astype(np.float32)
    return r


def _fill(x):
    r = np.empty_like(x)
    r.fill(x[3])
    return r * x


ELEMENTWISE = {
    "broadcast": lambda x: grid(x) * x[:4] + grid(x)[:, :1],
    "two-outputs": lambda x: np.modf(x * 0.1)[0] + np.divmod(x, 7.0)[1] * x[::-1],
    "out-where": _out_where,
    "scalar-operators": lambda x: np.array([x[0] * 2 - x[1] / 3, -x[2] ** 2, abs(x[3]),
                                            1 / x[4], np.sqrt(x[5] ** 2 + 1)]),
    "object-array": lambda x: np.array([x[0], x[1] * x[2]]) * x[2:4] + np.sum(np.array(
        [x[4] * x[5], x[6]])),
    "full_like": lambda x: np.full_like(x, x[0]) + x + np.ones_like(x) * x[1],
    "copyto": _copyto,
    "put": _put,
    "fill": _fill,
    "scalar-methods": _scalar_into_element,
    "elementwise-functions": lambda x: np.nan_to_num(x) + np.sinc(x) + x.T + x.real + x.imag
    + x.conj(),
}

UFUNC_METHODS = {
    "outer": lambda x: np.multiply.outer(x[:3], x[3:6]).ravel(),
    "accumulate": lambda x: np.add.accumulate(grid(x), axis=1).ravel(),
    "reduce": lambda x: np.add.reduce(grid(x), axis=1) + np.multiply.reduce(x[:3]),
    "at": _at,
}

REARRANGING = {
    "concatenate": lambda x: np.concatenate([grid(x), grid(x)[::-1]], axis=1).ravel(),
    "stack": lambda x: np.stack([x[:4], x[4:8], x[8:]], axis=1).ravel(),
    "h-v-d-column-stack": lambda x: np.concatenate([
        np.hstack([x[:2], x[5:6]]), np.vstack([x[:3], x[3:6]]).ravel(),
        np.dstack([x[:2], x[2:4]]).ravel(), np.column_stack([x[:2], x[2:4]]).ravel()]),
    "pad": lambda x: np.concatenate([np.pad(x[:4], (2, 1), mode=mode) for mode in
                                     ("edge", "wrap", "reflect", "symmetric", "constant")]),
    "pad-traced-constant": lambda x: np.pad(grid(x), 1, constant_values=x[0]).ravel(),
    "roll-flip-rot90": lambda x: np.concatenate([np.roll(grid(x), 1, axis=1).ravel(),
                                                 np.flip(grid(x), axis=0).ravel(),
                                                 np.rot90(grid(x)).ravel(), np.fliplr(grid(x))[0]]),
    "tile-repeat": lambda x: np.concatenate([np.tile(x[:3], (2, 2)).ravel(),
                                             np.repeat(x[:3], [1, 0, 2]), x[:2].repeat(2)]),
    "diff": lambda x: np.concatenate([np.diff(grid(x), axis=0, prepend=0.0).ravel(),
                                      np.diff(x, n=2, append=x[0])]),
    "cumsum-cumprod": lambda x: np.concatenate([np.cumsum(grid(x), axis=1).ravel(),
                                                np.cumprod(x[:4]), grid(x).cumsum()]),
    "axes": lambda x: np.concatenate([np.moveaxis(x.reshape(2, 3, 2), 0, -1).ravel(),
                                      np.swapaxes(x.reshape(2, 6), 0, 1).ravel(),
                                      grid(x).transpose().ravel(), np.expand_dims(x, 0)[0],
                                      np.squeeze(x.reshape(1, N)), x.reshape(3, 4).T.flatten()]),
    "take-compress-delete-insert-append": lambda x: np.concatenate([
        np.take(x, [3, 1, 1]), np.compress([1, 0, 1], x[:3]), np.delete(x, [0, 2]),
        np.insert(x[:4], 1, x[9]), np.append(x[:2], 5.0), np.extract(MASK, x),
        np.take_along_axis(grid(x), np.array([[1], [0], [3]]), axis=1).ravel()]),
    "split": lambda x: np.array_split(x, 5)[1][:2] * np.split(x, [2, 5])[1][:2],
    "diag-tril-triu": lambda x: np.concatenate([np.diag(x[:3]).ravel(),
                                                np.tril(grid(x)).ravel(),
                                                np.triu(grid(x), 1).ravel(),
                                                np.diag(grid(x), 1), np.diagonal(grid(x))]),
    "broadcasting": lambda x: np.concatenate([np.broadcast_to(x[:3], (2, 3)).ravel(),
                                              np.broadcast_arrays(x[:2, None], x[2:5])[1].ravel(),
                                              np.meshgrid(x[:2], x[2:5])[0].ravel()]),
    "choose": lambda x: np.choose([0, 1, 0, 1], [x[:4], x[4:8]]),
    "fancy-and-masks": lambda x: np.concatenate([x[[3, 3, 0]], grid(x)[[0, 2], 1:3].ravel(),
                                                 x[MASK], grid(x)[..., None, 1].ravel(),
                                                 x[np.newaxis, 2:4].ravel()]),
}

REDUCING = {
    "sum-axes": lambda x: np.concatenate([np.sum(x.reshape(2, 3, 2), axis=(0, 2)),
                                          grid(x).sum(axis=0, keepdims=True).ravel()]),
    "prod-mean": lambda x: np.concatenate([np.prod(grid(x), axis=1), grid(x).mean(axis=0)]),
    "std-var": lambda x: np.concatenate([np.std(grid(x), axis=1, ddof=1),
                                         grid(x).var(axis=0)]),
    "nan-reductions": lambda x: np.concatenate([np.nansum(grid(x), axis=1),
                                                np.nanmean(grid(x), axis=0)]),
    "where": lambda x: np.sum(grid(x), axis=1, where=MASK.reshape(3, 4)),
    "average": lambda x: np.average(grid(x), axis=1, weights=[1.0, 2.0, 0.5, 1.0]),
    "norm": lambda x: np.concatenate([[np.linalg.norm(x)], np.linalg.norm(grid(x), axis=1),
                                      np.linalg.norm(x.reshape(2, 2, 3), axis=(1, 2))]),
    "trace": lambda x: np.trace(grid(x)) * x[-1],
    "scalar-reduction-loop": lambda x: np.array([x[0] + x.sum(), x[1] * x[2:5].prod()]),
}

PRODUCTS = {
    "dot": lambda x: np.concatenate([np.dot(grid(x), DENSE).ravel(), np.dot(x[:4], DENSE),
                                     grid(x).dot(x[:4])]),
    "matmul": lambda x: np.concatenate([(DENSE.T @ x[:8].reshape(4, 2)).ravel(),
                                        (x.reshape(2, 2, 3) @ DENSE.T[:, :2]).ravel(),
                                        (grid(x) @ x.reshape(4, 3)).ravel(),
                                        np.matmul(x[:4], grid(x).T)]),
    "tensordot-inner-vdot-outer": lambda x: np.concatenate([
        np.tensordot(x.reshape(2, 2, 3), DENSE[:2, :], axes=([1, 2], [0, 1])),
        np.inner(grid(x), DENSE[:, :4].T[:3]).ravel(), [np.vdot(x[:4], x[4:8])],
        np.outer(x[:2], DENSE[0]).ravel()]),
    "einsum": lambda x: np.concatenate([
        np.einsum("ij,jk->ik", grid(x), DENSE).ravel(), np.einsum("ij->j", grid(x)),
        np.einsum("ii->i", x[:9].reshape(3, 3)), np.einsum("i,j->ij", x[:2], x[2:4]).ravel(),
        np.einsum("bij,bj->bi", x.reshape(2, 2, 3), x[:6].reshape(2, 3)).ravel(),
        np.einsum("...i,i->...", grid(x)[:, :3], DENSE[0]), np.einsum("ij", grid(x)).ravel(),
        [np.einsum("i,i", x[:3], DENSE[1])]]),
    "multi_dot": lambda x: np.linalg.multi_dot([x[:4], DENSE, grid(x)[:, :3].T]),
    "sparse": lambda x: np.concatenate([SPARSE @ x[:3], (SPARSE.T @ x[:8].reshape(4, 2)).ravel(),
                                        x[:4] @ SPARSE, SPARSE.dot(x[3:6]),
                                        SPARSE_MATRIX * x[:3], x[:3] * SPARSE_MATRIX]),
    "convolve": lambda x: np.concatenate([np.convolve(x[:5], KERNEL, mode) for mode in
                                          ("full", "same", "valid")] +
                                         [np.convolve(KERNEL, x[:5]), np.convolve(x[:2], x[2:6])]),
}

def _fill_diagonal(x):
    r = np.zeros_like(np.outer(x[:4], x[:3]))
    np.fill_diagonal(r, x[5:7])
    return r.ravel()


def _sliding_windows(x):
    windows = np.lib.stride_tricks.sliding_window_view(grid(x), (2, 2))
    return np.concatenate([windows.sum(axis=(2, 3)).ravel(), windows[1, 0].ravel()])


COMPOSED = {
    "cross": lambda x: np.concatenate([np.cross(x[:6].reshape(2, 3), x[6:].reshape(2, 3)).ravel(),
                                       np.cross(x[:6].reshape(3, 2), [1.0, 2.0, 3.0],
                                                axisa=0).ravel()]),
    "gradient": lambda x: np.concatenate([np.gradient(x), np.gradient(x, 0.5, edge_order=2),
                                          np.gradient(x, np.linspace(0, 1, N) ** 2)] +
                                         [g.ravel() for g in np.gradient(grid(x))]),
    "polyval": lambda x: np.concatenate([np.polyval(x[:3], x[3:]), np.polyval(KERNEL, x)]),
    "correlate": lambda x: np.concatenate([np.correlate(x, KERNEL)] + [
        np.correlate(x[:4], x[4:9], mode) for mode in ("full", "same", "valid")] +
        [np.correlate(KERNEL, x[:5], "same")]),
    "kron": lambda x: np.concatenate([np.kron(x[:4], [1.0, 0.0]),
                                      np.kron(np.eye(2), x[:4].reshape(2, 2)).ravel(),
                                      np.kron(x[:3], x[3:5])]),
    "bincount": lambda x: np.bincount([0, 1, 1, 0, 3, 3, 3, 2, 2, 0, 1, 4], weights=x,
                                      minlength=7),
    "reduceat": lambda x: np.concatenate([np.add.reduceat(x, [0, 2, 2, 7, 1]),
                                          np.multiply.reduceat(grid(x), [0, 3, 1], axis=1).ravel()]),
    "sliding_window_view": _sliding_windows,
    "fill_diagonal": _fill_diagonal,
    "einsum-three": lambda x: np.concatenate([
        np.einsum("i,i,i->i", x, x[::-1], np.arange(N) % 2 * 1.0),
        np.einsum("ij,jk,k->i", grid(x), np.eye(4), x[:4]), [np.einsum("i,i,i", x, x, x)]]),
    "pad-mean": lambda x: np.pad(grid(x), ((1, 2), (2, 1)), mode="mean").ravel(),
    "where-constant-condition": lambda x: np.where(MASK, x, x[::-1] ** 2),
    "interp-constant-table": lambda x: np.interp(np.linspace(-0.2, 1.2, 9),
                                                 np.linspace(0.0, 1.0, N), x, left=x[0] * 2.0),
    "compress-method": lambda x: x.compress(MASK) * grid(x).compress([1, 0, 1], axis=0)[0, :1],
}

EXACT = {**{"elementwise " + k: v for k, v in ELEMENTWISE.items()},
         **{"ufunc." + k: v for k, v in UFUNC_METHODS.items()},
         **{"moving " + k: v for k, v in REARRANGING.items()},
         **{"reducing " + k: v for k, v in REDUCING.items()},
         **{"product " + k: v for k, v in PRODUCTS.items()},
         **{"composed " + k: v for k, v in COMPOSED.items()}}


@pytest.mark.parametrize("fun", list(EXACT.values()), ids=list(EXACT))
def test_traced_pattern_equals_what_perturbation_finds(fun):
    traced = trace_sparsity(fun, np.zeros(N)).toarray()
    np.testing.assert_array_equal(traced, found_by_perturbation(fun, N))


def _complex(x):
    return x[:6] + 1j * x[::-1][:6] ** 2


@pytest.mark.parametrize("part", [lambda z: z.imag, lambda z: np.imag(z[::-1])[::-1],
                                  lambda z: z.real, lambda z: np.real(z)],
                         ids=["imag", "np.imag", "real", "np.real"])
def test_complex_parts_depend_on_their_whole_element(part):
    # A complex element is one traced value: each part holds what the element depends on.
    traced = trace_sparsity(lambda x: part(_complex(x)), np.zeros(N)).toarray()
    whole = trace_sparsity(lambda x: np.abs(_complex(x)), np.zeros(N)).toarray()
    np.testing.assert_array_equal(whole, found_by_perturbation(lambda x: np.abs(_complex(x)), N))
    np.testing.assert_array_equal(traced, whole)


# Each of these depends on every element it could pick, but at one point on the one it picks
# (the largest, the branch taken, the bracketing table entries): the trace must hold what
# perturbation finds and equal the union written out plainly, itself checked above.
PICKING = [
    ("max-min", lambda x: np.concatenate([np.max(grid(x), axis=1), grid(x).min(axis=0)]),
     lambda x: np.concatenate([np.sum(grid(x), axis=1), grid(x).sum(axis=0)])),
    ("maximum", lambda x: np.maximum(x, x[::-1]) + np.fmin(x, 0.0),
     lambda x: x + x[::-1]),
    ("where", lambda x: np.where(x > 0, x, x[::-1] ** 2), lambda x: x + x[::-1]),
    ("clip", lambda x: np.clip(x, -1.0, x[::-1]), lambda x: x + x[::-1]),
    ("select", lambda x: np.select([x < -1, x > 1], [x, 2 * x[0]], default=x[1]),
     lambda x: x + x[0] + x[1]),
    ("median-ptp", lambda x: np.concatenate([np.median(grid(x), axis=1), np.ptp(grid(x), axis=0)]),
     lambda x: np.concatenate([np.sum(grid(x), axis=1), grid(x).sum(axis=0)])),
    ("abs-sign", lambda x: np.abs(x) * np.sign(x[::-1]), lambda x: x * x[::-1]),
    ("interp", lambda x: np.interp(x[:4], [-1.0, 0.0, 1.0, 2.0], x[4:8]),
     lambda x: x[:4] + np.sum(x[4:8])),
    ("matrix-1-norm", lambda x: [np.linalg.norm(grid(x), 1)], lambda x: [np.sum(x)]),
    ("maximum.accumulate", lambda x: np.maximum.accumulate(x), lambda x: np.cumsum(x)),
]


@pytest.mark.parametrize("fun, union", [p[1:] for p in PICKING], ids=[p[0] for p in PICKING])
def test_choices_trace_as_the_union_of_their_candidates(fun, union):
    traced = trace_sparsity(fun, np.zeros(N)).toarray()
    reference = trace_sparsity(union, np.zeros(N)).toarray()
    np.testing.assert_array_equal(reference, found_by_perturbation(union, N))
    np.testing.assert_array_equal(traced, reference)
    assert not (found_by_perturbation(fun, N, seed=1) & ~traced).any()


@pytest.mark.parametrize("fun", [
    lambda x: np.matmul(x[:3], np.ones((4, 2))),
    lambda x: np.dot(grid(x), np.ones(3)),
    lambda x: np.einsum("ij,jk->ik", grid(x), np.ones((3, 2))),
    lambda x: np.concatenate([x.reshape(3, 4), x[:3]]),
    lambda x: x.reshape(5, 3),
    lambda x: x[20],
], ids=["matmul", "dot", "einsum", "concatenate", "reshape", "index"])
def test_shape_errors_are_numpys(fun):
    with pytest.raises((ValueError, IndexError)) as numeric:
        fun(np.zeros(N))
    with pytest.raises(type(numeric.value)):
        trace_sparsity(fun, np.zeros(N))


# Sound but not exact: the ramp from the edge to a constant keeps the edge's set at the far end,
# where the value is the constant; the largest of the first elements depends on all of them.
@pytest.mark.parametrize("fun", [
    lambda x: np.pad(grid(x), 2, mode="linear_ramp").ravel(),
    lambda x: np.pad(x, 2, mode="maximum", stat_length=3),
], ids=["linear_ramp", "maximum"])
def test_padding_computed_from_the_array_holds_what_perturbation_finds(fun):
    traced = trace_sparsity(fun, np.zeros(N)).toarray()
    found = found_by_perturbation(fun, N)
    assert found.any() and not (found & ~traced).any()


@pytest.mark.parametrize("fun, message", [
    (lambda x: np.bincount(np.array([0, 1, 1]), weights=x[:3]) * np.bincount(x.astype(int)),
     "indexing with traced values"),
    (lambda x: np.add.reduceat(x, x[:2].astype(int)), "indexing with traced values"),
    (lambda x: np.gradient(x, x[0]), "np.gradient with traced spacing"),
    (lambda x: np.pad(x, 1, mode="linear_ramp", end_values=x[0]),
     "np.pad with traced end_values"),
    (lambda x: np.pad(x, 1, mode="mean", stat_length=x[:1].astype(int)),
     "np.pad with a traced stat_length"),
], ids=["bincount-bins", "reduceat-indices", "gradient-spacing", "ramp-end-values",
        "stat-length"])
def test_newly_followed_functions_refuse_what_they_cannot_follow(fun, message):
    from vendrel.tracing import TracingError
    with pytest.raises(TracingError, match=message):
        trace_sparsity(fun, np.ones(N))


# --- each handled function takes NumPy's whole signature -----------------------------------

def _handled():
    # Every handled function, by the signature its calls are bound to (NumPy's own, or on older
    # NumPys, for functions written in C, their documented one): none may go without.
    import inspect
    from vendrel.tracing._functions import HANDLERS, _signature, name_of
    for func, rule in HANDLERS.items():
        yield pytest.param(_signature(func), inspect.signature(rule), id=name_of(func))


@pytest.mark.parametrize("numpys, rules", list(_handled()))
def test_every_rule_receives_every_parameter_of_its_numpy_function(numpys, rules):
    # NumPy's positional parameters reach the rule by position and its keyword-only ones by
    # name, so the rule needs a slot for each, and a parameter it names as NumPy does must sit
    # where NumPy's does.
    import inspect
    kind = inspect.Parameter
    positional = (kind.POSITIONAL_ONLY, kind.POSITIONAL_OR_KEYWORD)
    assert numpys is not None, "no signature to bind the calls to"
    theirs = [p for p in numpys.parameters.values() if p.kind in positional]
    ours = [p for p in rules.parameters.values() if p.kind in positional]
    kinds = {p.kind for p in rules.parameters.values()}
    if kind.VAR_POSITIONAL not in kinds:
        assert len(ours) >= len(theirs), [p.name for p in theirs[len(ours):]]
    for k, parameter in enumerate(theirs[:len(ours)]):
        names = [p.name for p in ours]
        if parameter.name in names:
            assert names.index(parameter.name) == k, parameter.name
    if kind.VAR_KEYWORD not in kinds:
        for parameter in numpys.parameters.values():
            if parameter.kind is kind.KEYWORD_ONLY:
                assert parameter.name in rules.parameters, parameter.name


def _cumulative_initial(x):
    return np.cumulative_sum(x[:4].reshape(2, 2), axis=1, include_initial=True).ravel() * x[4:10]


@pytest.mark.parametrize("fun", [
    pytest.param(_cumulative_initial, marks=pytest.mark.skipif(
        not hasattr(np, "cumulative_sum"), reason="NumPy 2.1 brought cumulative_sum")),
    lambda x: np.full_like(a=x, fill_value=x[0]) * x[::-1],
    lambda x: np.vstack(tup=[x, x[::-1]]),
    lambda x: np.sum(x.reshape(3, 4), 1, None, None, True),
    lambda x: np.clip(x, None, a_max=x[::-1]),
    lambda x: np.mean(x.reshape(3, 4), axis=0, where=MASK.reshape(3, 4)),
], ids=["cumulative-initial", "keyword-a", "tup-keyword", "positional-keepdims",
        "clip-a-max-only", "mean-where"])
def test_numpys_keywords_and_positions_are_followed(fun):
    traced = trace_sparsity(fun, np.ones(N)).toarray()
    found = found_by_perturbation(fun, N)
    assert found.any() and not (found & ~traced).any()


@pytest.mark.parametrize("fun, message", [
    (lambda x: np.clip(x, 0.0, 1.0, where=MASK), "np.clip with where="),
    (lambda x: np.einsum("i->i", x, bogus=1), "np.einsum with bogus="),
], ids=["clip-where", "einsum-unknown"])
def test_a_keyword_a_rule_cannot_honour_is_refused_by_name(fun, message):
    from vendrel.tracing import TracingError
    with pytest.raises(TracingError, match=message):
        trace_sparsity(fun, np.ones(N))


def test_a_call_numpy_rejects_raises_numpys_type_error():
    with pytest.raises(TypeError) as numpys:
        np.sum(np.ones(N), bogus=1)
    with pytest.raises(TypeError) as traced:
        trace_sparsity(lambda x: np.sum(x, bogus=1), np.ones(N))
    assert str(numpys.value) in str(traced.value)


def _putmask(x):
    r = x[::-1] * 1.0
    np.putmask(r, MASK, x[:5] ** 2)  # element k takes value k % 5
    return r


def _place(x):
    r = np.zeros(N)
    np.place(r, MASK, x[3:6])  # the k-th chosen element takes value k % 3
    return r


@pytest.mark.parametrize("fun", [_putmask, _place, lambda x: np.putmask(x, MASK, x[0]) or x],
                         ids=["putmask", "place", "putmask-scalar"])
def test_writes_through_a_constant_mask_take_numpys_values(fun):
    traced = trace_sparsity(fun, np.ones(N)).toarray()
    np.testing.assert_array_equal(traced, found_by_perturbation(fun, N))


def test_putmask_with_a_traced_mask_is_refused():
    from vendrel.tracing import TracingError
    with pytest.raises(TracingError, match="np.putmask with a traced mask"):
        trace_sparsity(lambda x: np.putmask(x, x > 0, 0.0) or x, np.ones(N))


def _documented():
    from vendrel.tracing._functions import _C_SIGNATURES
    for name in sorted(_C_SIGNATURES):
        yield pytest.param(name, id=name)


@pytest.mark.parametrize("name", list(_documented()))
def test_documented_signatures_agree_with_numpys_own(name):
    # Where this NumPy reports a signature (1.25 and newer), each parameter written for the
    # older NumPys must be NumPy's: same name, place, kind and default.
    import inspect
    from vendrel.tracing._functions import _C_SIGNATURES
    try:
        numpys = inspect.signature(getattr(np, name))
    except (TypeError, ValueError):
        pytest.skip("NumPy %s reports no signature for np.%s" % (np.__version__, name))
    ours = list(inspect.signature(_C_SIGNATURES[name]).parameters.values())
    theirs = list(numpys.parameters.values())
    assert [(p.name, p.kind, p.default) for p in ours] == \
        [(p.name, p.kind, p.default) for p in theirs[:len(ours)]]
    # Only keyword-only parameters that NumPy added later may be missing.
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in theirs[len(ours):])


def _concatenate_into(x):
    r = x * 0.0
    np.concatenate([x[6:], x[:6]], None, r)
    return r


def _stack_into(x):
    r = grid(x).T.copy()
    np.stack([x[:4], x[4:8], x[8:]], 1, out=r)
    return r.ravel()


@pytest.mark.parametrize("fun, message", [
    (lambda x: np.where(x > 0, x=x, y=0.0), "positional"),
    (lambda x: np.inner(x, b=x), "positional"),
    (lambda x: np.concatenate([x, x], 0, None, None), "positional argument"),
    (lambda x: np.putmask(x.copy(), MASK, values=x, extra=1), "extra"),
], ids=["where", "inner", "concatenate", "putmask"])
def test_calls_numpy_refuses_are_refused_under_the_trace(fun, message):
    # Bound to the signature on every NumPy, also where NumPy reports none: a call NumPy
    # rejects fails the trace with NumPy's kind of error, not inside a rule.
    from vendrel.tracing import TracingError
    with pytest.raises(TypeError):
        fun(np.ones(N))
    with pytest.raises(TracingError, match="raised TypeError.*" + message):
        trace_sparsity(fun, np.ones(N))


@pytest.mark.parametrize("fun", [_concatenate_into, _stack_into], ids=["concatenate", "stack"])
def test_out_given_by_position_receives_the_joined_arrays(fun):
    traced = trace_sparsity(fun, np.ones(N)).toarray()
    np.testing.assert_array_equal(traced, found_by_perturbation(fun, N))
