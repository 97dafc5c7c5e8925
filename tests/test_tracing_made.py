"""Arrays the traced function makes itself (np.zeros, np.empty, np.array, np.asarray, np.r_):
traced values written into them are followed, constants in them stay values, and NumPy is
unchanged for other threads and after the trace."""

import threading

import numpy as np
import pytest

from tracing_corpus import found_by_perturbation
from vendrel.tracing import TracingError, trace_sparsity

N = 6


def _zeros_target(x):
    r = np.zeros(len(x))
    r[1:-1] = x[:-2] - 2.0 * x[1:-1] + x[2:]
    r[0] = x[0]
    r[-1] = x[-1] - 1.0
    return r


def _empty_filled_by_loop(x):
    r = np.empty(N)
    for i in range(N):
        r[i] = x[i] * x[(i + 1) % N]
    return r


def _pieces(x):
    a, b, c = x[0] * x[1], np.sin(x[2]), x[3] - x[4]
    return np.array([a, b, c, 1.0, x[5]])


def _array_of_arrays(x):
    return np.array([x[:3], x[3:] ** 2, [1.0, 2.0, 3.0]]).T.ravel()


def _as_float(x):
    x = np.asarray(x, dtype=float)
    return x[::-1] * x


def _r_joined(x):
    return np.r_[x[0], x[1:] - x[:-1], 0.0]


def _c_joined(x):
    return np.c_[x[:3], x[3:]].ravel()


def _shifted_in_place(x):
    r = np.zeros(N)
    r[1:] += x[:-1]
    r *= 2.0
    r[:-1] -= x[1:]
    return r


def _out_into_made(x):
    r = np.ones((2, 3))
    np.multiply(x.reshape(2, 3), x.reshape(3, 2).T, out=r)
    return r


def _constants_as_values(x):
    weights = np.array([1.0, 0.0, 2.0, 0.0, 3.0, 4.0])
    picked = np.array([0, 2, 4])
    if weights[1] > 0:  # a branch on a constant the function made
        return x
    scale = float(weights.sum())
    return np.concatenate([x[picked] * scale, x[picked + 1]])


def _complex_pieces(x):
    z = np.array([x[0] + 1j * x[1], x[2] - 1j * x[3]])
    return np.concatenate([z.real, z.imag, np.abs(z)])


def _asarray_is_the_array(x):
    r = np.zeros(N)
    alias = np.asarray(r)  # r itself, as NumPy's asarray of an array
    alias[:] = x[::-1]
    return r


def _made_grid_view(x):
    r = np.zeros((2, 3))
    view = r.reshape(-1)
    view[:] = x
    r[:, 0] = x[:2] ** 2
    return view


@pytest.mark.parametrize("fun", [
    _zeros_target, _empty_filled_by_loop, _pieces, _array_of_arrays, _as_float, _r_joined,
    _c_joined, _shifted_in_place, _out_into_made, _constants_as_values, _asarray_is_the_array,
    _made_grid_view,
], ids=lambda f: f.__name__.strip("_"))
def test_traced_values_written_into_made_arrays_give_the_exact_pattern(fun):
    traced = trace_sparsity(fun, np.ones(N)).toarray()
    found = found_by_perturbation(fun, N)
    np.testing.assert_array_equal(traced, found)


def _constant_traced_write(x):
    # A traced write of values that depend on nothing (v is 0.5 at every x) still ends the
    # made array's values: they are stale after it (r holds -0.5, not 0.0).
    v = x[:1] * 0.0 + 0.5
    r = np.zeros(1)
    r += v
    r *= -1.0
    s = r * 1.0
    s[r < 0] = x[1]
    return s


def test_a_traced_write_ends_the_values_even_of_constants():
    traced = trace_sparsity(_constant_traced_write, np.ones(N)).toarray()
    found = found_by_perturbation(_constant_traced_write, N)
    assert found[0, 1] and not (found & ~traced).any()


def test_complex_pieces_hold_what_perturbation_finds():
    # A complex element carries one set for both parts: .real and .imag are supersets.
    traced = trace_sparsity(_complex_pieces, np.ones(N)).toarray()
    found = found_by_perturbation(_complex_pieces, N)
    assert found.any() and not (found & ~traced).any()


def test_a_traced_write_after_the_values_left_as_a_plain_array_is_refused():
    # np.asarray from the function itself gives r back; a library's plain copy would be stale.
    import scipy.ndimage

    def stale(x):
        r = np.zeros(N)
        smoothed = scipy.ndimage.uniform_filter1d(r, 3)  # reads r's values as a plain array
        r[:] = x
        return r + smoothed
    with pytest.raises(TracingError, match="after its values were handed out"):
        trace_sparsity(stale, np.ones(N))


def test_numpy_is_unchanged_for_other_threads_and_after_the_trace():
    zeros = np.zeros
    inside, seen, done = threading.Event(), {}, threading.Event()

    def other():
        assert inside.wait(10)
        seen["type"] = type(np.zeros(3))
        seen["array"] = type(np.array([1.0, 2.0]))
        done.set()

    def fun(x):
        inside.set()
        assert done.wait(10)
        return x * np.zeros(N)
    thread = threading.Thread(target=other)
    thread.start()
    trace_sparsity(fun, np.ones(N))
    thread.join(10)
    assert seen == {"type": np.ndarray, "array": np.ndarray}
    assert np.zeros is zeros and type(np.zeros(2)) is np.ndarray


# --- assignment through a traced mask -------------------------------------------------------

def _clamped(x):
    c = x[::-1] * x
    c[c < 0] = 0.0
    return c


def _rows_masked(x):
    r = np.zeros(N)
    r[:] = x
    grid = r.reshape(3, 2)
    grid[x[:3] > 0] = x[5]  # whole rows of the grid
    return r


@pytest.mark.parametrize("fun, superset", [
    (_clamped, [[0, 5], [1, 4], [2, 3], [2, 3], [1, 4], [0, 5]]),
    (_rows_masked, [[0, 5], [0, 1, 5], [1, 2, 5], [1, 3, 5], [2, 4, 5], [2, 5]]),
], ids=["clamp", "rows"])
def test_assignment_through_a_traced_mask_joins_mask_value_and_old_element(fun, superset):
    expected = np.zeros((N, N), dtype=bool)
    for row, columns in enumerate(superset):
        expected[row, columns] = True
    traced = trace_sparsity(fun, np.ones(N)).toarray()
    np.testing.assert_array_equal(traced, expected)
    found = found_by_perturbation(fun, N, count=6)
    assert found.any() and not (found & ~traced).any()


def test_an_array_of_values_through_a_traced_mask_is_refused():
    def fun(x):
        r = x.copy()
        r[x > 0] = x[:3]  # which value lands where depends on how many are chosen
        return r
    with pytest.raises(TracingError, match="indexing with traced values"):
        trace_sparsity(fun, np.ones(N))
