"""A differential fuzzer of vendrel.tracing: random NumPy programs, traced and perturbed.

A program is a few lines of NumPy drawn from what the tracer claims to follow (views and copies
in every order, reshapes, slices with steps, fancy and boolean indexing, reads and writes,
in-place operators, dtype changes to complex and float32, .real and .imag, 0-d views, object
arrays of traced scalars, reductions with axis and keepdims, joins, pads, products with dense
and sparse constants, element loops, operands in mixed layouts (C, F, transposed, reversed,
stepped) with writes through reshapes and ravels of what they make, arrays the program makes
itself with np.zeros, np.array, np.asarray and np.r_, writes through traced masks, products
with constants holding zeros, np.select). Its traced pattern must hold every entry that
perturbation finds at a few random points with a small and a large step, or the trace must
refuse. A program that fails is cut down, line by line, to the fewest lines that still fail,
and printed as a function to paste.

    python tests/tracing_fuzz.py --seed 0 --count 20000     # a chunk, from the command line

Each line is drawn by running it on a sample array: a line NumPy rejects there is drawn again,
so every program runs on plain arrays.
"""

import argparse
import sys
import time
import warnings

import numpy as np
import scipy.sparse

from vendrel.tracing import TracingError, trace_sparsity

N = 12
STEPS = (1e-7, 1e-2)
POINTS = 2
ORDERS = ("C", "F", "A", "K")
_SHAPES = {12: [(12,), (3, 4), (4, 3), (2, 6), (6, 2), (2, 2, 3), (3, 2, 2)],
           6: [(6,), (2, 3), (3, 2)], 4: [(4,), (2, 2)], 8: [(8,), (2, 4), (4, 2), (2, 2, 2)],
           24: [(24,), (4, 6), (2, 3, 4)], 9: [(9,), (3, 3)], 3: [(3,)], 2: [(2,)]}


class Draw:
    """The state of one program being drawn: its lines and the sample values of its names."""

    def __init__(self, rng):
        self.rng = rng
        self.lines = []
        self.env = {"np": np, "sp": scipy.sparse}
        self.names = ["x"]
        self.count = 0

    def pick(self, kinds="fc", min_ndim=0, max_ndim=3):
        """A name holding an array or number (kinds: dtype kinds wanted)."""
        choices = [name for name in self.names
                   if np.asarray(self.env[name]).dtype.kind in kinds
                   and min_ndim <= np.ndim(self.env[name]) <= max_ndim]
        if not choices:
            return None
        # The newest names most often: programs then build on what they made.
        weights = np.arange(1, len(choices) + 1, dtype=float) ** 2
        return choices[self.rng.choice(len(choices), p=weights / weights.sum())]

    def fresh(self):
        self.count += 1
        return "v%d" % self.count

    def value(self, name):
        return self.env[name]


def _literal_list(values):
    return "[%s]" % ", ".join(repr(v) for v in values)


def _index(draw, shape):
    """A basic, fancy or boolean index for an array of `shape`, as code."""
    rng = draw.rng
    if not shape:
        return rng.choice(["...", "()"])
    kind = rng.integers(6)
    if kind == 0:
        k = int(rng.integers(-shape[0], shape[0]))
        return str(k) if len(shape) == 1 else "%d, ..." % k
    if kind == 1:
        parts = []
        for size in shape[:int(rng.integers(1, len(shape) + 1))]:
            start = int(rng.integers(0, max(1, size)))
            step = int(rng.choice([1, 1, 2, -1, 3]))
            if step < 0:
                parts.append("::-1" if rng.random() < 0.5 else "%d::-1" % start)
            else:
                parts.append("%d::%d" % (start, step))
        return ", ".join(parts)
    if kind == 2:
        k = int(rng.integers(1, shape[0] + 2))
        picks = rng.integers(-shape[0], shape[0], k).tolist()
        return _literal_list(picks)
    if kind == 3:
        mask = (rng.random(shape[0]) < 0.5).tolist()
        return "np.array(%s)" % _literal_list(mask)
    if kind == 4 and len(shape) >= 2:
        return "..., %d" % int(rng.integers(0, shape[-1]))
    if kind == 5 and len(shape) >= 2:
        return ":, %s" % _literal_list(rng.integers(0, shape[1], 2).tolist())
    return "..."


def _shape_of_size(draw, size):
    options = _SHAPES.get(size)
    if options is None:
        return None
    return options[int(draw.rng.integers(len(options)))]


def _constant(draw, shape):
    """A constant array of `shape` with zeros in it, as code."""
    size = int(np.prod(shape))
    base = "(np.arange(%d) %% 3 - 1.0)" % size
    return base if len(shape) == 1 else "%s.reshape(%r)" % (base, tuple(shape))


# --- the lines a program is drawn from -------------------------------------------------------
# Each returns a line of code (or None when it does not apply to what the program holds).

def g_binary(draw):
    a = draw.pick()
    b = draw.pick()
    if a is None or b is None:
        return None
    op = draw.rng.choice(["+", "-", "*"])
    if draw.rng.random() < 0.3:
        return "%s = %s %s %s" % (draw.fresh(), a, op, draw.rng.choice(["2.0", "0.0", "1j", "3"]))
    return "%s = %s %s %s" % (draw.fresh(), a, op, b)


def g_unary(draw):
    a = draw.pick()
    if a is None:
        return None
    fn = draw.rng.choice(["np.sin(%s)", "np.exp(0.1 * %s)", "%s ** 2", "np.abs(%s)", "-%s",
                          "np.conj(%s)", "np.tanh(%s)", "np.square(%s)", "np.cos(%s) * 1.5"])
    return "%s = %s" % (draw.fresh(), fn % a)


def g_choice(draw):
    a, b = draw.pick("f"), draw.pick("f")
    if a is None or b is None:
        return None
    form = draw.rng.integers(4)
    if form == 0:
        return "%s = np.where(%s > 0, %s, %s)" % (draw.fresh(), a, a, b)
    if form == 1:
        return "%s = np.maximum(%s, %s)" % (draw.fresh(), a, b)
    if form == 2:
        return "%s = np.clip(%s, -0.5, %s)" % (draw.fresh(), a, draw.rng.choice(["0.5", b]))
    shape = np.shape(draw.value(a))
    mask = (draw.rng.random(shape) < 0.5) if shape else bool(draw.rng.random() < 0.5)
    text = repr(mask.tolist()) if shape else repr(mask)
    return "%s = np.where(np.array(%s), %s, %s)" % (draw.fresh(), text, a, b)


def g_inplace(draw):
    a, b = draw.pick(), draw.pick()
    if a is None or b is None:
        return None
    op = draw.rng.choice(["+=", "-=", "*="])
    if draw.rng.random() < 0.4 and np.ndim(draw.value(a)):
        return "%s[%s] %s %s" % (a, _index(draw, np.shape(draw.value(a))), op, b)
    return "%s %s %s" % (a, op, b)


def g_view(draw):
    a = draw.pick(min_ndim=1)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    form = rng.integers(9)
    new = draw.fresh()
    if form == 0:
        target = _shape_of_size(draw, int(np.prod(shape)))
        if target is None:
            return None
        return "%s = %s.reshape(%r, order=%r)" % (new, a, target, str(rng.choice(ORDERS)))
    if form == 1:
        return "%s = %s.ravel(order=%r)" % (new, a, str(rng.choice(ORDERS)))
    if form == 2:
        return "%s = %s.T" % (new, a)
    if form == 3:
        return "%s = %s[%s]" % (new, a, _index(draw, shape))
    if form == 4:
        return "%s = %s.%s" % (new, a, rng.choice(["real", "imag"]))
    if form == 5 and len(shape) >= 2:
        return "%s = np.swapaxes(%s, 0, -1)" % (new, a)
    if form == 6:
        return "%s = %s[%d, ...]" % (new, a, int(rng.integers(shape[0])))
    if form == 7:
        target = _shape_of_size(draw, int(np.prod(shape)))
        if target is None:
            return None
        return "%s = %s\n%s.shape = %r" % (new, a + ".view()", new, target)
    return "%s = %s[::-1]" % (new, a)


def g_copy(draw):
    a = draw.pick(min_ndim=1)
    if a is None:
        return None
    rng = draw.rng
    order = str(rng.choice(ORDERS))
    form = rng.integers(7)
    new = draw.fresh()
    if form == 0:
        return "%s = %s.copy(order=%r)" % (new, a, order)
    if form == 1:
        dtype = rng.choice(["np.float32", "np.complex128", "np.float64", "np.complex64"])
        return "%s = %s.astype(%s, order=%r, copy=%s)" % (new, a, dtype, order,
                                                         bool(rng.random() < 0.5))
    if form == 2:
        return "%s = %s.flatten(order=%r)" % (new, a, order)
    if form == 3:
        return "%s = np.copy(%s, order=%r)" % (new, a, order)
    if form == 4:
        return "%s = np.zeros_like(%s, order=%r)" % (new, a, order)
    if form == 5:
        return "%s = np.full_like(%s, 2.0, order=%r)" % (new, a, order)
    return "%s = np.empty_like(%s, order=%r)\n%s[...] = 1.0" % (new, a, order, new)


def g_write(draw):
    a = draw.pick(min_ndim=1)
    b = draw.pick()
    if a is None or b is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    if rng.random() < 0.25:
        return "%s[%s] = %s" % (a, _index(draw, shape), rng.choice(["0.0", "1.5"]))
    if rng.random() < 0.2:
        # The element of a 0-d b: an object array filled with a 0-d array would hold the array.
        return "%s.fill(%s)" % (a, b + "[()]" if np.ndim(draw.value(b)) == 0 else "0.0")
    return "%s[%s] = %s" % (a, _index(draw, shape), b)


def g_reduce(draw):
    a = draw.pick(min_ndim=1)
    if a is None:
        return None
    ndim = np.ndim(draw.value(a))
    rng = draw.rng
    fn = rng.choice(["sum", "prod", "max", "min", "mean"])
    axis = "None" if rng.random() < 0.3 else str(int(rng.integers(-ndim, ndim)))
    keep = bool(rng.random() < 0.4)
    if fn in ("max", "min") and np.asarray(draw.value(a)).dtype.kind == "c":
        fn = "sum"
    if rng.random() < 0.3:
        return "%s = %s.%s(axis=%s, keepdims=%s)" % (draw.fresh(), a, fn, axis, keep)
    return "%s = np.%s(%s, axis=%s, keepdims=%s)" % (draw.fresh(), fn, a, axis, keep)


def g_accumulate(draw):
    a = draw.pick(min_ndim=1)
    if a is None:
        return None
    ndim = np.ndim(draw.value(a))
    rng = draw.rng
    fn = rng.choice(["np.cumsum(%s, axis=%d)", "np.diff(%s, axis=%d)",
                     "np.roll(%s, 1, axis=%d)", "np.flip(%s, axis=%d)"])
    return "%s = %s" % (draw.fresh(), fn % (a, int(rng.integers(ndim))))


def g_join(draw):
    a, b = draw.pick(min_ndim=1), draw.pick(min_ndim=1)
    if a is None or b is None:
        return None
    rng = draw.rng
    form = rng.integers(4)
    if form == 0:
        return "%s = np.concatenate([np.ravel(%s), np.ravel(%s)])" % (draw.fresh(), a, b)
    if form == 1:
        return "%s = np.stack([%s, %s])" % (draw.fresh(), a, a if rng.random() < 0.5 else b)
    if form == 2:
        return "%s = np.concatenate([%s, %s], axis=0)" % (draw.fresh(), a, b)
    mode = rng.choice(["constant", "edge", "wrap", "reflect", "symmetric"])
    return "%s = np.pad(%s, 1, mode=%r)" % (draw.fresh(), a, str(mode))


def g_product(draw):
    a = draw.pick(min_ndim=1, max_ndim=2)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    k = shape[0]
    form = rng.integers(4)
    if form == 0:
        return "%s = %s @ %s" % (draw.fresh(), _constant(draw, (3, k)), a)
    if form == 1:
        return "%s = sp.csr_array(%s) @ %s" % (draw.fresh(), _constant(draw, (k, k)), a)
    if form == 2:
        return "%s = np.dot(%s, %s)" % (draw.fresh(), a, _constant(draw, (shape[-1], 2)))
    return "%s = np.einsum('i...,i->...', %s, %s)" % (draw.fresh(), a, _constant(draw, (k,)))


def g_object(draw):
    a = draw.pick("f", min_ndim=1, max_ndim=1)
    if a is None:
        return None
    size = np.shape(draw.value(a))[0]
    i, j = draw.rng.integers(0, size, 2)
    return "%s = np.array([%s[%d], %s[%d] * 2.0, %s[%d] * %s[%d]])" % (
        draw.fresh(), a, i, a, j, a, i, a, j)


def g_loop(draw):
    a = draw.pick("f", min_ndim=1, max_ndim=1)
    if a is None:
        return None
    new = draw.fresh()
    body = draw.rng.choice(["%s[i] = %s[i] * %s[i + 1]", "%s[i] += %s[i + 1] - %s[i]",
                            "%s[i + 1] = %s[i] + np.sin(%s[i + 1])"])
    return "%s = np.zeros_like(%s)\nfor i in range(len(%s) - 1):\n    %s" % (
        new, a, a, body % (new, a, a))


def g_scalar(draw):
    a = draw.pick(min_ndim=1)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    index = ", ".join(str(int(draw.rng.integers(s))) for s in shape)
    return "%s = %s[%s] * 1.0" % (draw.fresh(), a, index)


def g_function(draw):
    """The functions followed by composition: cross, gradient, kron, correlate, interp, ..."""
    a = draw.pick("f", min_ndim=1)
    if a is None:
        return None
    value = draw.value(a)
    shape = np.shape(value)
    rng = draw.rng
    new = draw.fresh()
    last = shape[-1]
    form = rng.integers(12)
    if form == 0 and last in (2, 3):
        b = draw.pick("f", min_ndim=1)
        other = b if b is not None and np.shape(draw.value(b))[-1:] == (last,) else \
            _constant(draw, (last,)) + " + 2.0"
        return "%s = np.cross(%s, %s)" % (new, a, other)
    if form == 1:
        return "%s = np.gradient(%s, axis=-1, edge_order=%d)" % (new, a, 1 + (last > 2 and
                                                                           rng.random() < 0.5))
    if form == 2:
        return "%s = np.kron(%s, %s)" % (new, a, rng.choice(["[1.0, 0.0]", "np.eye(2)",
                                                             a + "[..., :2]"]))
    if form == 3 and len(shape) == 1:
        mode = str(rng.choice(["full", "same", "valid"]))
        return "%s = np.correlate(%s, %s, %r)" % (new, a, rng.choice(["[1.0, 0.0, 2.0]",
                                                                      "x[:5]"]), mode)
    if form == 4 and len(shape) == 1:
        return "%s = np.interp(np.linspace(-0.2, 1.2, 7), np.linspace(0.0, 1.0, %d), %s)" % (
            new, last, a)
    if form == 5:
        mask = (rng.random(last) < 0.5).tolist()
        return "%s = %s.compress(%s, axis=-1)" % (new, a, _literal_list(mask))
    if form == 6:
        cuts = sorted(rng.integers(0, last, 3).tolist())
        return "%s = np.add.reduceat(%s, %s, axis=-1)" % (new, a, _literal_list(cuts))
    if form == 7:
        mode = str(rng.choice(["mean", "maximum", "linear_ramp", "median"]))
        return "%s = np.pad(%s, 1, mode=%r)" % (new, a, mode)
    if form == 8:
        return "%s = np.lib.stride_tricks.sliding_window_view(%s, 2, axis=-1)" % (new, a)
    if form == 9 and len(shape) == 2:
        return "np.fill_diagonal(%s, %s)" % (a, rng.choice(["x[0]", "2.0", "x[1:3]"]))
    if form == 10 and len(shape) == 1:
        bins = rng.integers(0, 4, last).tolist()
        return "%s = np.bincount(%s, weights=%s)" % (new, _literal_list(bins), a)
    if form == 11 and len(shape) == 1:
        return "%s = np.einsum('i,i,i->i', %s, %s[::-1], %s)" % (new, a, a,
                                                                 _constant(draw, (last,)))
    return "%s = np.polyval(%s, x[:3])" % (new, a + ".ravel()[:3]")


def g_into(draw):
    """Writes by NumPy functions: out=, where=, ufunc.at, copyto, put."""
    a = draw.pick(min_ndim=1)
    b = draw.pick()
    if a is None or b is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    mask = "np.array(%s)" % repr((rng.random(shape) < 0.5).tolist())
    form = rng.integers(5)
    if form == 0:
        return "np.multiply(%s, %s, out=%s)" % (b, rng.choice(["2.0", a]), a)
    if form == 1:
        return "np.add(%s, %s, out=%s, where=%s)" % (a, b, a, mask)
    if form == 2:
        picks = _literal_list(rng.integers(0, shape[0], 3).tolist())
        return "np.add.at(%s, %s, %s)" % (a, picks, rng.choice(["1.0", b + " * 1.0"]) if
                                           np.ndim(draw.value(b)) == 0 else "1.0")
    if form == 3:
        return "np.copyto(%s, %s, where=%s)" % (a, b, mask)
    flat = _literal_list(rng.integers(0, int(np.prod(shape)), 2).tolist())
    return "np.put(%s, %s, %s)" % (a, flat, b if np.ndim(draw.value(b)) == 0 else "0.5")


def g_more_views(draw):
    a = draw.pick(min_ndim=1)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    new = draw.fresh()
    form = rng.integers(5)
    if form == 0:
        return "%s = %s.reshape(-1)" % (new, a)
    if form == 1 and len(shape) >= 2:
        return "%s = np.moveaxis(%s, 0, -1)" % (new, a)
    if form == 2:
        return "%s = %s[:, None]" % (new, a)
    if form == 3:
        return "%s = np.broadcast_to(%s, (2,) + %s.shape) * 1.0" % (new, a, a)
    return "%s = %s[::-2, ...].T" % (new, a)


def g_more_products(draw):
    a = draw.pick("f", min_ndim=1, max_ndim=2)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    k = shape[0]
    rng = draw.rng
    new = draw.fresh()
    form = rng.integers(3)
    if form == 0:
        return "%s = sp.csr_matrix(%s) * %s" % (new, _constant(draw, (2, k)), a)
    if form == 1:
        return "%s = %s.dot(%s)" % (new, a, _constant(draw, (shape[-1], 3)))
    return "%s = np.matmul(%s, %s)" % (new, _constant(draw, (2, 2, k)), a)


def g_layout(draw):
    """Operands in mixed layouts (C, F, transposed, reversed, stepped) meeting constants and
    each other, and writes through reshapes and ravels of what they make, which are views or
    copies as NumPy lays the results out."""
    a = draw.pick(min_ndim=2, max_ndim=3)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    new = draw.fresh()
    order = str(rng.choice(ORDERS))
    form = rng.integers(9)
    if form == 0:
        return "%s = np.ones(%r, order=%r) * %s" % (new, shape, str(rng.choice(["C", "F"])), a)
    if form == 1:
        return "%s = %s * %s.T.T" % (new, a, a)
    if form == 2:
        return "%s = np.asfortranarray(%s)" % (new, a)
    if form == 3:
        return "%s = %s[::-1, ::%d] + 0.5" % (new, a, int(rng.choice([1, 2, -1])))
    if form == 4:
        return "%s = np.where(%s > 0, %s, %s.reshape(%r, order='F'))" % (
            new, _constant(draw, shape), a, "np.ravel(%s)" % a, shape)
    if form == 5:
        size = int(np.prod(shape))
        k = int(rng.integers(1, size + 1))
        return "%s = %s * 1.0\n%s.reshape(-1, order=%r)[:%d] = %s" % (
            new, a, new, order, k, rng.choice(["0.0", "x[0]", "np.ravel(%s)[:%d]" % (a, k)]))
    if form == 6:
        return "%s = np.zeros_like(%s * %s.T.T)\nnp.ravel(%s)[::2] = x[0]" % (new, a, a, new)
    if form == 7:
        return "%s = np.ascontiguousarray(%s.T)" % (new, a)
    return "%s = %s.copy(order=%r)\n%s.ravel(order=%r)[%d] = x[1]" % (
        new, a, order, new, str(rng.choice(ORDERS)), int(rng.integers(int(np.prod(shape)))))


def g_made(draw):
    """Arrays the program makes itself (np.zeros, np.empty, np.array, np.asarray, np.r_),
    writes through a traced mask, products with constant zeros, np.select."""
    a = draw.pick("f", min_ndim=1)
    if a is None:
        return None
    shape = np.shape(draw.value(a))
    rng = draw.rng
    new = draw.fresh()
    form = rng.integers(9)
    if form == 0:
        return "%s = np.zeros(%r, order=%r)\n%s[...] = %s" % (
            new, shape, str(rng.choice(["C", "F"])), new, a)
    if form == 1:
        return "%s = np.empty(%r)\n%s[:] = 1.0\n%s[%s] = %s[%s]" % (
            new, shape, new, new, _index(draw, shape), a, "...")
    if form == 2:
        flat = int(np.prod(shape))
        i, j = rng.integers(0, flat, 2)
        return "%s = np.array([np.ravel(%s)[%d], np.ravel(%s)[%d] ** 2, 1.0])" % (
            new, a, i, a, j)
    if form == 3:
        return "%s = np.asarray(%s, dtype=float)" % (new, a)
    if form == 4:
        return "%s = np.r_[np.ravel(%s), 0.0, x[:2]]" % (new, a)
    if form == 5:
        return "%s = %s * 1.0\n%s[%s < 0] = %s" % (new, a, new, a,
                                                  rng.choice(["0.0", "x[0]", "x[1] * 2"]))
    if form == 6:
        return "%s = %s * %s" % (new, _constant(draw, shape), a)
    if form == 7:
        return "%s = np.select([%s > 0, %s < 0], [%s, %s ** 2], 1.5)" % (
            new, _constant(draw, shape), _constant(draw, shape), a, a)
    return "%s = np.zeros(%r)\n%s += %s\n%s *= %s" % (new, shape, new, a, new,
                                                     _constant(draw, shape))


GENERATORS = [g_layout, g_layout, g_made, g_made, g_into, g_more_views, g_more_products, g_function, g_function, g_binary, g_unary, g_choice, g_inplace, g_view, g_view, g_copy, g_copy, g_write,
              g_write, g_reduce, g_accumulate, g_join, g_product, g_object, g_loop, g_scalar]


def _run(lines, x):
    """The program's values on a plain x (a dict of its names), or the exception it raised."""
    env = {"np": np, "sp": scipy.sparse, "x": x}
    exec(compile("\n".join(lines), "<program>", "exec"), env)  # noqa: S102
    return env


def draw_program(rng, length):
    """`length` lines and the names the program returns."""
    draw = Draw(rng)
    sample = rng.uniform(-1.5, 1.5, N)
    draw.env["x"] = sample.copy()
    tries = 0
    while len(draw.lines) < length and tries < 20 * length:
        tries += 1
        generator = GENERATORS[int(rng.integers(len(GENERATORS)))]
        try:
            line = generator(draw)
        except ValueError:  # nothing to draw from, such as an empty axis
            continue
        if line is None:
            continue
        try:
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                env = _run(draw.lines + [line], sample.copy())
        except Exception:
            continue
        draw.lines.append(line)
        draw.env = env
        for name in list(env):
            if (name.startswith("v") or name == "x") and name not in draw.names and \
                    isinstance(env[name], (np.ndarray, np.generic, float, complex)):
                draw.names.append(name)
    # Return the last few names and x's own last state (it may have been written through).
    returned = draw.names[-3:] + (["x"] if "x" not in draw.names[-3:] else [])
    return draw.lines, returned


def program_source(lines, returned):
    body = "\n".join("    " + part for line in lines for part in line.split("\n"))
    result = ", ".join("np.ravel(%s)" % name for name in returned)
    return "def residual(x):\n%s\n    return np.concatenate([%s])" % (body or "    pass", result)


def compile_program(lines, returned):
    env = {"np": np, "sp": scipy.sparse}
    exec(compile(program_source(lines, returned), "<program>", "exec"), env)  # noqa: S102
    return env["residual"]


def _flat(value):
    array = np.asarray(value)
    if array.dtype == object:
        array = array.astype(complex)
    if array.dtype.kind == "c":
        return np.concatenate([array.real.ravel(), array.imag.ravel()])
    return array.astype(float).ravel()


def perturbation_found(fun, rng):
    """The union of perturbation patterns over random points and both steps, real and
    imaginary parts as separate rows (each the same residual's)."""
    found = None
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for _ in range(POINTS):
            x = rng.uniform(-1.5, 1.5, N)
            base = _flat(fun(x.copy()))
            for step in STEPS:
                seen = np.empty((base.size, N), dtype=bool)
                for j in range(N):
                    point = x.copy()
                    point[j] += step * (1.0 + abs(x[j]))
                    after = _flat(fun(point))
                    seen[:, j] = (after != base) & ~(np.isnan(after) & np.isnan(base))
                found = seen if found is None else found | seen
    return found


def verdict(fun, rng):
    """'refused', 'sound', or a description of the entries the trace missed."""
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            traced = trace_sparsity(fun, np.zeros(N)).toarray()
    except TracingError:
        return "refused"
    except Exception as error:  # neither a pattern nor a refusal
        return "the trace raised %s: %s" % (type(error).__name__, error)
    found = perturbation_found(fun, rng)
    half = found.shape[0]
    if traced.shape[0] * 2 == half:  # a complex residual: both parts of a row
        traced = np.vstack([traced, traced])
    elif traced.shape[0] != half:
        return "the trace has %d rows, the function %d" % (traced.shape[0], half)
    missed = found & ~traced
    if missed.any():
        rows, cols = np.nonzero(missed)
        return "missed %d entries, e.g. (row %d, column %d)" % (len(rows), rows[0], cols[0])
    return "sound"


def _fails(lines, returned, seed):
    try:
        fun = compile_program(lines, returned)
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            fun(np.random.default_rng(seed).uniform(-1.5, 1.5, N))
    except Exception:
        return False  # no longer a program NumPy runs
    try:
        result = verdict(fun, np.random.default_rng(seed))
    except Exception:
        return False
    return result not in ("sound", "refused")


def minimize(lines, returned, seed):
    """The fewest lines (and returned names) that still fail, one removal at a time."""
    changed = True
    while changed:
        changed = False
        for k in reversed(range(len(lines))):
            candidate = lines[:k] + lines[k + 1:]
            if _fails(candidate, returned, seed):
                lines, changed = candidate, True
        for k in range(len(returned)):
            fewer = returned[:k] + returned[k + 1:]
            if fewer and _fails(lines, fewer, seed):
                returned, changed = fewer, True
                break
    return lines, returned


def run(seed, count, length=(3, 10), report=print):
    """Draws and checks `count` programs from `seed`; returns (tally, failures as source)."""
    tally = {"sound": 0, "refused": 0, "missed": 0}
    failures = []
    for k in range(count):
        rng = np.random.default_rng([seed, k])
        lines, returned = draw_program(rng, int(rng.integers(length[0], length[1] + 1)))
        fun = compile_program(lines, returned)
        try:
            result = verdict(fun, np.random.default_rng([seed, k, 1]))
        except TracingError:
            result = "refused"
        if result in tally:
            tally[result] += 1
            continue
        tally["missed"] += 1
        small, names = minimize(lines, returned, [seed, k, 1])
        source = program_source(small, names)
        failures.append("# program %d of seed %d: %s\n%s" % (k, seed, result, source))
        report(failures[-1])
    return tally, failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--count", type=int, default=1000)
    options = parser.parse_args(argv)
    start = time.perf_counter()
    tally, failures = run(options.seed, options.count, report=lambda text: print(text, flush=True))
    print("seed %d: %d programs in %.0f s: %s" % (options.seed, options.count,
                                                  time.perf_counter() - start, tally))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
