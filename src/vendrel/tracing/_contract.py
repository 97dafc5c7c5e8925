"""Products of traced arrays: matmul, dot, tensordot, einsum and their relatives, with constant
dense arrays and scipy.sparse matrices on either side.

Each product is read as an einsum: labels for the axes of each factor and of the result. An
output element depends on a traced factor's element when some assignment of the contracted
labels joins them with a nonzero entry of the constant factor, so a constant's zeros are
structural zeros here (it does not depend on x; a sparse matrix's stored entries count, explicit
zeros too). Both factors traced: every element along the contracted labels counts. The pairs
(output, element) make a 0/1 matrix, and one sparse product gives the rows.
"""

from collections import Counter
from typing import Any, Dict, Hashable, List, Optional, Sequence, Tuple

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing._arrays import TracedArray
from vendrel.tracing._operands import (
    as_array, find_n, finish, is_traced, made_by_numpy, operand, result)
from vendrel.tracing._tables import RULES
from vendrel.tracing._ufuncs import GUFUNCS, elementwise
from vendrel.tracing._errors import unsupported

Label = Hashable


class _Factor:
    __slots__ = ("shape", "rows", "coords", "dtype")

    def __init__(self, shape: Tuple[int, ...], rows: Optional[Any], coords: Optional[np.ndarray],
                 dtype: Any) -> None:
        self.shape, self.rows, self.coords, self.dtype = shape, rows, coords, dtype


def _factor(value: Any, n: int) -> _Factor:
    if _is_sparse(value):
        coo = value.tocoo()
        coords = getattr(coo, "coords", None)
        if coords is None:
            coords = (coo.row, coo.col)
        return _Factor(tuple(value.shape), None, np.stack(coords, axis=1), value.dtype)
    op = operand(value, n)
    if op.rows is not None:
        return _Factor(op.shape, op.broadcast(op.shape, n), None, op.dtype)
    array = np.asarray(value)
    return _Factor(array.shape, None, np.argwhere(array != 0), op.dtype)


def _is_sparse(value: Any) -> bool:
    return bool(scipy.sparse.issparse(value))


def _shape(value: Any) -> Tuple[int, ...]:
    if is_traced(value) or scipy.sparse.issparse(value) or isinstance(value, np.ndarray):
        return tuple(value.shape)
    return np.shape(value)


def _grid(labels: Sequence[Label], sizes: Dict[Label, int]) -> Dict[Label, np.ndarray]:
    """Every assignment of `labels`, the first varying slowest."""
    if not labels:
        return {}
    values = np.indices([sizes[label] for label in labels]).reshape(len(labels), -1)
    return {label: values[k] for k, label in enumerate(labels)}


def _flat(labels: Sequence[Label], shape: Sequence[int], values: Dict[Label, np.ndarray],
          count: int) -> np.ndarray:
    """C-order positions in an array of `shape` with axes `labels`, for each assignment."""
    flat = np.zeros(count, dtype=np.int64)
    stride = 1
    for label, size in zip(reversed(labels), reversed(shape)):
        if size != 1:  # a broadcast axis: always its one element
            flat += values[label] * stride
        stride *= size
    return flat


def _unique_in_order(labels: Sequence[Label]) -> List[Label]:
    return list(dict.fromkeys(labels))


def contract(labels: Sequence[Sequence[Label]], values: Sequence[Any], out_labels: Sequence[Label],
             dtype: Any = None) -> Any:
    n = find_n(list(values))
    assert n is not None
    factors = [_factor(v, n) for v in values]
    sizes: Dict[Label, int] = {}
    for axes, factor in zip(labels, factors):
        if len(axes) != len(factor.shape):
            raise ValueError("operand has %d dimensions but %d subscripts"
                             % (len(factor.shape), len(axes)))
        for label, size in zip(axes, factor.shape):
            known = sizes.get(label)
            if known is None or known == 1:
                sizes[label] = size
            elif size not in (1, known):
                raise ValueError("operands could not be broadcast together: an axis of size %d "
                                 "against one of size %d" % (size, known))
    out_shape = tuple(sizes[label] for label in out_labels)
    m = int(np.prod(out_shape, dtype=np.int64))
    parts = []
    for k, (axes, factor) in enumerate(zip(labels, factors)):
        if factor.rows is None:
            continue
        constants = [(labels[j], f) for j, f in enumerate(factors) if j != k and f.rows is None]
        if len(constants) > 1:
            raise unsupported("a product of a traced array with several constant factors")
        parts.append(_through(axes, factor, constants[0] if constants else None, out_labels,
                              out_shape, sizes, m))
    if dtype is None:
        dtype = np.result_type(*[f.dtype for f in factors])
    return result(out_shape, _deps.union(*parts), dtype, n)


def _through(axes: Sequence[Label], factor: _Factor, constant: Optional[Tuple[Any, _Factor]],
             out_labels: Sequence[Label], out_shape: Tuple[int, ...], sizes: Dict[Label, int],
             m: int) -> Any:
    """The rows one traced factor gives the output, through the constant factor if any."""
    constant_axes = list(constant[0]) if constant is not None else []
    distinct = _unique_in_order(axes)
    kept = [label for label in distinct if label in out_labels or label in constant_axes]
    dropped = [label for label in distinct if label not in kept]
    # First the union over the labels only this factor has.
    grid = _grid(kept + dropped, sizes)
    count = int(np.prod([sizes[label] for label in kept + dropped], dtype=np.int64))
    members = _flat(axes, factor.shape, grid, count)
    length = int(np.prod([sizes[label] for label in dropped], dtype=np.int64))
    kept_shape = [sizes[label] for label in kept]
    if length == 1:
        rows = _deps.gather(factor.rows, members)
    else:
        groups = int(np.prod(kept_shape, dtype=np.int64))
        rows = _deps.select(np.arange(groups + 1, dtype=np.int64) * length, members,
                            factor.rows)
    if constant is None:
        return _deps.gather(rows, _flat(kept, kept_shape, _grid(out_labels, sizes), m))
    constant_axes_, const = constant
    coords = const.coords
    assert coords is not None
    # Repeated labels in the constant's axes pick its diagonal.
    first_axis: Dict[Label, int] = {}
    keep_row = np.ones(len(coords), dtype=bool)
    for axis, label in enumerate(constant_axes_):
        if label in first_axis:
            keep_row &= coords[:, axis] == coords[:, first_axis[label]]
        else:
            first_axis[label] = axis
    coords = coords[keep_row]
    relevant = _unique_in_order(list(out_labels) + kept)
    fixed = [label for label in relevant if label in first_axis and
             const.shape[first_axis[label]] == sizes[label]]
    free = [label for label in relevant if label not in fixed]
    if fixed:
        chosen = np.unique(coords[:, [first_axis[label] for label in fixed]], axis=0)
    else:
        chosen = np.zeros((1 if len(coords) else 0, 0), dtype=np.int64)
    free_grid = _grid(free, sizes)
    free_count = int(np.prod([sizes[label] for label in free], dtype=np.int64))
    total = len(chosen) * free_count
    values: Dict[Label, np.ndarray] = {}
    for k, label in enumerate(fixed):
        values[label] = np.repeat(chosen[:, k].astype(np.int64), free_count)
    for label in free:
        values[label] = np.tile(free_grid[label], len(chosen))
    return _deps.pairs(_flat(out_labels, out_shape, values, total),
                       _flat(kept, kept_shape, values, total), m, rows)


def _finish(value: Any, out: Any) -> Any:
    return finish(value, out)


# --- the products NumPy and SciPy offer, as labels ---------------------------------------

def matmul(a: Any, b: Any, out: Any = None, **kwargs: Any) -> Any:
    for name in kwargs:
        if name not in ("dtype", "casting", "subok") and not (
                name == "order" and kwargs[name] in ("K", None)):
            raise unsupported("np.matmul with %s=" % name)
    shape_a, shape_b = _shape(a), _shape(b)
    na, nb = len(shape_a), len(shape_b)
    if not na or not nb:
        raise ValueError("matmul: Input operand %d does not have enough dimensions"
                         % (0 if not na else 1))
    inner_a = shape_a[-1]
    inner_b = shape_b[0] if nb == 1 else shape_b[-2]
    if inner_a != inner_b:
        raise ValueError("matmul: Input operand 1 has a mismatch in its core dimension 0 "
                         "(size %d is different from %d)" % (inner_b, inner_a))
    batch = max(na - 2, nb - 2, 0)
    batch_labels = [("batch", k) for k in reversed(range(batch))]
    la = ["j"] if na == 1 else batch_labels[batch - (na - 2):] + ["i", "j"]
    lb = ["j"] if nb == 1 else batch_labels[batch - (nb - 2):] + ["j", "k"]
    lo = batch_labels + (["i"] if na > 1 else []) + (["k"] if nb > 1 else [])
    return _finish(contract([la, lb], [a, b], lo, kwargs.get("dtype")), out)


def dot(a: Any, b: Any, out: Any = None) -> Any:
    shape_a, shape_b = _shape(a), _shape(b)
    na, nb = len(shape_a), len(shape_b)
    if not na or not nb:
        return elementwise(np.multiply, (a, b), {} if out is None else {"out": out})
    inner_b = shape_b[0] if nb == 1 else shape_b[-2]
    if shape_a[-1] != inner_b:
        raise ValueError("shapes %r and %r not aligned" % (shape_a, shape_b))
    la: List[Label] = [("a", k) for k in range(na - 1)] + ["j"]
    if nb == 1:
        lb: List[Label] = ["j"]
        lo = la[:-1]
    else:
        lb = [("b", k) for k in range(nb - 2)] + ["j", "k"]
        lo = la[:-1] + lb[:-2] + ["k"]
    return _finish(contract([la, lb], [a, b], lo), out)


def _flattened(value: Any) -> Any:
    if _is_sparse(value):
        return value.toarray().ravel()
    return as_array(value).ravel() if is_traced(value) else np.ravel(value)


def vdot(a: Any, b: Any) -> Any:
    return contract([["i"], ["i"]], [_flattened(a), _flattened(b)], [])


def outer(a: Any, b: Any, out: Any = None) -> Any:
    return _finish(contract([["i"], ["j"]], [_flattened(a), _flattened(b)], ["i", "j"]), out)


def inner(a: Any, b: Any) -> Any:
    shape_a, shape_b = _shape(a), _shape(b)
    if not shape_a or not shape_b:
        return elementwise(np.multiply, (a, b), {})
    la: List[Label] = [("a", k) for k in range(len(shape_a) - 1)] + ["j"]
    lb: List[Label] = [("b", k) for k in range(len(shape_b) - 1)] + ["j"]
    return contract([la, lb], [a, b], la[:-1] + lb[:-1])


def tensordot(a: Any, b: Any, axes: Any = 2) -> Any:
    na, nb = len(_shape(a)), len(_shape(b))
    if isinstance(axes, (int, np.integer)):
        axes_a, axes_b = list(range(na - int(axes), na)), list(range(int(axes)))
    else:
        first, second = axes
        axes_a = [int(first)] if np.ndim(first) == 0 else [int(k) for k in first]
        axes_b = [int(second)] if np.ndim(second) == 0 else [int(k) for k in second]
    axes_a = [k % na for k in axes_a]
    axes_b = [k % nb for k in axes_b]
    la: List[Label] = [("a", k) for k in range(na)]
    lb: List[Label] = [("b", k) for k in range(nb)]
    for k, (i, j) in enumerate(zip(axes_a, axes_b)):
        la[i] = lb[j] = ("c", k)
    lo = [label for k, label in enumerate(la) if k not in axes_a] + \
        [label for k, label in enumerate(lb) if k not in axes_b]
    return contract([la, lb], [a, b], lo)


def vecdot(x1: Any, x2: Any, out: Any = None, axis: int = -1, **kwargs: Any) -> Any:
    shape_1, shape_2 = _shape(x1), _shape(x2)
    moved: List[Any] = [np.moveaxis(as_array(v) if is_traced(v) else np.asarray(v),  # type: ignore
                                    axis, -1) for v in (x1, x2)]
    batch = max(len(shape_1), len(shape_2)) - 1
    labels: List[Label] = [("batch", k) for k in reversed(range(batch))]
    l1 = labels[batch - (len(shape_1) - 1):] + ["j"]
    l2 = labels[batch - (len(shape_2) - 1):] + ["j"]
    return _finish(contract([l1, l2], moved, labels), out)


def multi_dot(arrays: Sequence[Any], *, out: Any = None) -> Any:
    product = arrays[0]
    for factor in arrays[1:]:
        product = np.dot(product, factor)
    return _finish(product, out)


def einsum(*operands: Any, out: Any = None, dtype: Any = None, order: str = "K",
           casting: str = "safe", optimize: Any = False) -> Any:
    if not isinstance(operands[0], str):
        raise unsupported("np.einsum with subscript lists")
    if order not in ("K", None):
        raise unsupported("np.einsum with order=%r" % (order,))
    subscripts = operands[0].replace(" ", "")
    values = operands[1:]
    inputs, arrow, output = subscripts.partition("->")
    terms = inputs.split(",")  # one per operand
    if len(terms) != len(values):
        raise ValueError("more operands provided to einstein sum function than specified in "
                         "the subscripts string" if len(values) > len(terms) else
                         "fewer operands provided to einstein sum function than specified in "
                         "the subscripts string")
    labels: List[List[Label]] = []
    widest = 0
    for term, value in zip(terms, values):
        ndim = len(_shape(value))
        if "..." in term:
            before, _, after = term.partition("...")
            count = ndim - len(before) - len(after)
            axes: List[Label] = list(before)
            axes += [("...", count - 1 - k) for k in range(count)]
            labels.append(axes + list(after))
            widest = max(widest, count)
        else:
            labels.append(list(term))
    ellipsis: List[Label] = [("...", widest - 1 - k) for k in range(widest)]
    if arrow:
        before, dots, after = output.partition("...")
        out_labels: List[Label] = list(before) + (ellipsis if dots else []) + list(after)
    else:
        counts = Counter(label for axes in labels for label in axes if isinstance(label, str))
        out_labels = ellipsis + sorted(label for label, c in counts.items() if c == 1)
    if len(values) == 1 and isinstance(values[0], TracedArray) and \
            set(labels[0]) <= set(out_labels) and dtype is None and out is None:
        # Nothing summed: NumPy's einsum relabels and takes diagonals as a view, so it is
        # applied to the positions, as the functions that move elements are.
        return values[0].from_positions(np.einsum(subscripts, values[0]._pos))
    if len(values) > 2:
        product = _chain(labels, values, out_labels)
        if dtype is not None:
            product = product.astype(dtype)
    else:
        product = contract(labels, values, out_labels, dtype)
    if len(out_labels) > 1 and out is None and isinstance(product, TracedArray):
        # NumPy's einsum lays out its result by its operands' layouts (order "K"): the rows
        # are renumbered in the layout of NumPy's own einsum on stand-ins.
        made = made_by_numpy(np.einsum, subscripts, *values, order=order, casting=casting)
        product = result(product.shape, product.rows(), product.dtype, product.n, made)
    return _finish(product, out)


def _chain(labels: List[List[Label]], values: Sequence[Any], out_labels: List[Label]) -> Any:
    """Three or more operands, contracted left to right, keeping what later ones need."""
    current, current_labels = values[0], labels[0]
    for k in range(1, len(values)):
        later = [label for axes in labels[k + 1:] for label in axes]
        keep = [label for label in dict.fromkeys(list(current_labels) + list(labels[k]))
                if label in out_labels or label in later]
        if k == len(values) - 1:
            keep = list(out_labels)
        if is_traced(current) or is_traced(values[k]):
            current = contract([current_labels, labels[k]], [current, values[k]], keep)
        else:
            current = _constant_einsum([current_labels, labels[k]], [current, values[k]], keep)
        current_labels = keep
    return current


def _constant_einsum(labels: List[List[Any]], values: Sequence[Any], keep: List[Any]) -> Any:
    letters: Dict[Any, str] = {}
    for label in [lab for axes in labels for lab in axes] + keep:
        letters.setdefault(label, chr(ord("a") + len(letters)))
    subscripts = ",".join("".join(letters[lab] for lab in axes) for axes in labels)
    return np.einsum(subscripts + "->" + "".join(letters[lab] for lab in keep), *values)


GUFUNCS["matmul"] = matmul
GUFUNCS["vecdot"] = vecdot
RULES["matmul"] = matmul
