"""Layouts, views and copies of traced results against NumPy's on real arrays.

Each operation runs twice on operands made alike from x: on float64 arrays, and under the
trace. Every output must then be laid out as NumPy's (strides counted in elements, the
contiguity flags) and share memory with exactly the inputs NumPy's shares memory with, on
C-, F- and mixed-order operands and on views with steps and negative strides. A traced array's
positions are laid out as the array, so their strides and memory are the array's.
"""

import numpy as np
import pytest

from vendrel.tracing import trace_sparsity
from vendrel.tracing._arrays import TracedArray

SIZE = 12
C_CONSTANT = np.arange(1.0, 13.0).reshape(3, 4)
F_CONSTANT = np.asfortranarray(C_CONSTANT)

# Operands of shape (3, 4) made from 12 elements of x (a 1-D array of 24).
LAYOUTS = {
    "C": lambda v: v.reshape(3, 4),
    "F": lambda v: v.reshape((3, 4), order="F"),
    "T": lambda v: v.reshape(4, 3).T,
    "reversed": lambda v: v.reshape(3, 4)[::-1, ::-1],
    "columns-reversed": lambda v: v.reshape((3, 4), order="F")[:, ::-1],
    "stepped": lambda v: np.concatenate([v, v]).reshape(3, 8)[:, ::2],
}

# Operations on operands a and b (both (3, 4)), each giving an array or several.
OPERATIONS = {
    "a * b": lambda a, b: a * b,
    "C constant * a": lambda a, b: C_CONSTANT * a,
    "a * F constant": lambda a, b: a * F_CONSTANT,
    "a * a.T.T": lambda a, b: a * b.T.T,
    "sin(a)": lambda a, b: np.sin(a),
    "a + 1.0": lambda a, b: a + 1.0,
    "add where constant": lambda a, b: np.add(a, b, where=C_CONSTANT > 5, out=None),
    "divmod": lambda a, b: np.divmod(a, b),
    "a < b": lambda a, b: a < b,
    "where(constant)": lambda a, b: np.where(F_CONSTANT > 5, a, b),
    "where(a > 0)": lambda a, b: np.where(a > 0, a, b),
    "where(C, a, 0)": lambda a, b: np.where(C_CONSTANT > 5, a, 0.0),
    "clip": lambda a, b: np.clip(a, -1.0, b),
    "maximum": lambda a, b: np.maximum(a, C_CONSTANT),
    "round": lambda a, b: np.round(a, 2),
    "select": lambda a, b: np.select([C_CONSTANT > 3], [a], b),
    "zeros_like": lambda a, b: np.zeros_like(a * b),
    "empty_like F": lambda a, b: np.empty_like(a, order="F"),
    "full_like": lambda a, b: np.full_like(b, 2.0),
    "reshape(-1)": lambda a, b: (a * b).reshape(-1),
    "reshape F": lambda a, b: a.reshape((2, 6), order="F"),
    "ravel": lambda a, b: np.ravel(a * C_CONSTANT),
    "ravel F": lambda a, b: (a * C_CONSTANT).ravel(order="F"),
    "ravel A": lambda a, b: a.ravel(order="A"),
    "ravel K": lambda a, b: a.ravel(order="K"),
    "flatten": lambda a, b: a.flatten(),
    "copy": lambda a, b: a.copy(),
    "copy K": lambda a, b: a.copy(order="K"),
    "np.copy": lambda a, b: np.copy(a),
    "astype": lambda a, b: a.astype(np.float32),
    "transpose": lambda a, b: a.transpose(),
    "swapaxes": lambda a, b: np.swapaxes(a, 0, 1),
    "ascontiguousarray": lambda a, b: np.ascontiguousarray(a),
    "asfortranarray": lambda a, b: np.asfortranarray(a),
    "asarray F": lambda a, b: np.asarray(a, order="F"),
    "array": lambda a, b: np.array(a),
    "made C * a": lambda a, b: np.ones((3, 4)) * a,
    "sum axis 0": lambda a, b: a.sum(axis=0),
    "sum keepdims": lambda a, b: np.sum(a * b, axis=1, keepdims=True),
    "mean": lambda a, b: a.mean(axis=-1),
    "cumsum": lambda a, b: np.cumsum(a, axis=0),
    "cumsum flat": lambda a, b: np.cumsum(a),
    "diff": lambda a, b: np.diff(a, axis=0),
    "concatenate": lambda a, b: np.concatenate([a, b]),
    "concatenate axis 1": lambda a, b: np.concatenate([a, C_CONSTANT], axis=1),
    "stack": lambda a, b: np.stack([a, b], axis=-1),
    "pad": lambda a, b: np.pad(a, 1),
    "pad edge": lambda a, b: np.pad(a, 1, mode="edge"),
    "roll": lambda a, b: np.roll(a, 1, axis=1),
    "flip": lambda a, b: np.flip(a),
    "take": lambda a, b: np.take(a, [0, 2], axis=1),
    "tile": lambda a, b: np.tile(a, (1, 2)),
    "repeat": lambda a, b: np.repeat(a, 2, axis=0),
    "expand_dims": lambda a, b: np.expand_dims(a, 1),
    "broadcast_to": lambda a, b: np.broadcast_to(a, (2, 3, 4)),
    "moveaxis": lambda a, b: np.moveaxis(a, 0, -1),
    "triu": lambda a, b: np.triu(a),
    "diagonal": lambda a, b: np.diagonal(a),
    "fancy": lambda a, b: a[[0, 2]],
    "mask": lambda a, b: a[C_CONSTANT > 4],
    "slice": lambda a, b: a[1:, ::2],
    "split": lambda a, b: np.split(a, 2, axis=1),
    "matmul": lambda a, b: a @ C_CONSTANT.T,
    "dot": lambda a, b: np.dot(F_CONSTANT.T, b),
    "einsum": lambda a, b: np.einsum("ij,ij->ij", a, F_CONSTANT),
    "einsum view": lambda a, b: np.einsum("ij->ji", a),
    "outer": lambda a, b: np.multiply.outer(a[0], b[:, 0]),
}


def _as_list(value):
    return list(value) if isinstance(value, (list, tuple)) else [value]


def _memory(value):
    """The array whose memory and strides are the value's (a traced array's positions)."""
    return value._pos if isinstance(value, TracedArray) else value


def _describe(outputs, inputs):
    """For each output: strides in elements, the contiguity flags, the inputs it shares memory
    with."""
    described = []
    for out in outputs:
        if np.ndim(out) == 0:
            described.append(None)
            continue
        memory = _memory(out)
        described.append((tuple(s // memory.itemsize for s in memory.strides),
                          memory.flags.c_contiguous, memory.flags.f_contiguous,
                          tuple(np.shares_memory(memory, _memory(v)) for v in inputs)))
    return described


@pytest.mark.parametrize("layout_b", ["C", "F", "reversed"])
@pytest.mark.parametrize("layout_a", list(LAYOUTS))
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_results_are_laid_out_viewed_and_copied_as_numpys(operation, layout_a, layout_b):
    make_a, make_b, apply = LAYOUTS[layout_a], LAYOUTS[layout_b], OPERATIONS[operation]
    seen = []

    def fun(x):
        a, b = make_a(x[:SIZE] + 0.0), make_b(x[SIZE:] + 0.0)
        seen.append(_describe(_as_list(apply(a, b)), [a, b]))
        return x

    real = np.random.default_rng(0).uniform(0.5, 2.0, 2 * SIZE)
    fun(real)
    trace_sparsity(fun, np.zeros(2 * SIZE))
    numpys, traced = seen
    assert numpys == traced


def _matlab_port(x):
    U = x.reshape((3, 3), order="F")  # column-major, as a MATLAB port writes it
    R = np.ones((3, 3)) * U  # laid out in C order by NumPy
    R.reshape(-1)[:3] = U[0] - U[1]  # a view: sets R[0, :]
    return R.ravel()


def _f_ravel_copy(x):
    R = np.ones((3, 3)) * x.reshape((3, 3), order="F")
    R.ravel(order="F")[:] = 0.0  # a copy: R keeps its entries
    return R


def _mixed_where(x):
    U = x.reshape((3, 3), order="F")
    R = np.where(np.ones((3, 3)) > 0, U, x.reshape(3, 3))
    np.ravel(R)[::4] = x[0]  # a view in NumPy: the diagonal of R
    return R


@pytest.mark.parametrize("fun, expected", [
    (_matlab_port, [[0, 1], [3, 4], [6, 7], [1], [4], [7], [2], [5], [8]]),
    (_f_ravel_copy, [[0], [3], [6], [1], [4], [7], [2], [5], [8]]),
    (_mixed_where, [[0], [3], [6], [1], [0], [7], [2], [5], [0]]),
], ids=["matlab-port", "f-ravel-copy", "mixed-where"])
def test_writes_through_results_of_mixed_layouts_give_the_exact_pattern(fun, expected):
    dense = np.zeros((9, 9), dtype=bool)
    for row, columns in enumerate(expected):
        dense[row, columns] = True
    np.testing.assert_array_equal(trace_sparsity(fun, np.zeros(9)).toarray(), dense)
