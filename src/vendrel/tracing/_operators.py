"""Python's operators and NumPy's array methods on the traced types, installed onto them.

Binary and unary operators are the ufuncs they stand for (through the tables the rules fill);
in-place operators join each element's set where it is, in the storage, with nothing read out
and written back; methods are the NumPy functions of the same names.
"""

from typing import Any

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing._arrays import PLAIN_SCALARS, TracedArray, TracedScalar
from vendrel.tracing._errors import unsupported
from vendrel.tracing._operands import operand
from vendrel.tracing._tables import RULES


def _scalar_operator(ufunc: Any, reflected: bool = False) -> Any:

    def operator(self: TracedScalar, other: Any) -> Any:
        kind = type(other)
        if kind is TracedScalar:
            deps = _deps.join(self.deps, other.deps)
            other_key = other.dtype
        elif kind in PLAIN_SCALARS or isinstance(other, np.generic):
            # A product with an exact constant zero depends on nothing.
            deps = _deps.NONE if ufunc is np.multiply and RULES["is_zero"](other) else \
                self.deps
            other_key = RULES["dtype_key"](other)
        elif scipy.sparse.issparse(other):
            return _sparse_operator(ufunc, self, other, reflected)
        else:
            return ufunc(other, self) if reflected else ufunc(self, other)
        keys = (other_key, self.dtype) if reflected else (self.dtype, other_key)
        dtypes = RULES["result_dtypes"](ufunc, keys)
        if len(dtypes) == 1:
            return TracedScalar(deps, dtypes[0], self.n)
        return tuple(TracedScalar(deps, dtype, self.n) for dtype in dtypes)
    return operator


def _scalar_unary(ufunc: Any) -> Any:
    def operator(self: TracedScalar) -> TracedScalar:
        return TracedScalar(self.deps, RULES["result_dtypes"](ufunc, (self.dtype,))[0], self.n)
    return operator


def _scalar_method(name: str) -> Any:
    # NumPy's object loops call a method named after the ufunc (x.sin(), x.exp()) on the
    # elements of an object array, such as np.array([x[0], x[1]]) makes.
    def method(self: TracedScalar) -> TracedScalar:
        return self
    method.__name__ = name
    return method



def _method(name: str) -> Any:
    function = getattr(np, name)

    def method(self: Any, *args: Any, **kwargs: Any) -> Any:
        return function(self, *args, **kwargs)
    method.__name__ = name
    return method


for _name in ("sum", "prod", "mean", "std", "var", "max", "min", "any", "all", "cumsum",
              "cumprod", "dot", "clip", "repeat", "take", "trace", "round", "nonzero",
              "argmax", "argmin", "argsort", "sort", "searchsorted", "put",
              "choose", "partition", "argpartition", "ptp"):
    setattr(TracedArray, _name, _method(_name))
for _name in ("sum", "prod", "mean", "std", "var", "max", "min", "any", "all", "cumsum",
              "cumprod", "dot", "clip", "round", "reshape", "ravel", "repeat",
              "squeeze", "transpose", "nonzero", "argmax", "argmin"):
    if not hasattr(TracedScalar, _name):
        setattr(TracedScalar, _name, _method(_name))



def _array_operator(ufunc: Any, reflected: bool = False) -> Any:
    def operator(self: Any, other: Any) -> Any:
        if scipy.sparse.issparse(other):
            return _sparse_operator(ufunc, self, other, reflected)
        return RULES["elementwise"](ufunc, (other, self) if reflected else (self, other), {})
    # What the operator stands for, for the types that route it through NumPy (made arrays).
    operator.ufunc, operator.kind = ufunc, "reflected" if reflected else "binary"  # type: ignore
    return operator


def _array_inplace(ufunc: Any) -> Any:
    def operator(self: Any, other: Any) -> Any:
        # Each element joins its own set with the other operand's, where it already is: a
        # union into the storage, with nothing read out and written back.
        if scipy.sparse.issparse(other):
            raise unsupported("an in-place operator with a scipy.sparse operand")
        n = self.n
        other_operand = operand(other, n)
        dtype = RULES["result_dtypes"](ufunc, (self.dtype, other_operand.dtype))[0]
        if not np.can_cast(dtype, self.dtype, "same_kind"):
            raise TypeError("Cannot cast ufunc %r output from %r to %r with casting rule "
                            "'same_kind'" % (ufunc.__name__, dtype, self.dtype))
        if not self._pos.flags.writeable:
            raise ValueError("output array is read-only")
        rows = other_operand.broadcast(self.shape, n)
        if rows is not None and self.size:
            self._storage.join(np.ravel(self._pos), rows)
        elif ufunc is np.multiply and other_operand.scalar is None and not self._part and \
                np.asarray(other).dtype.kind in "biufc":
            # Times a constant: where it is exactly zero, the element depends on nothing.
            zero = np.broadcast_to(np.asarray(other) == 0, self.shape).ravel()
            if zero.any():
                self.write(None, zero)
        return self
    operator.ufunc, operator.kind = ufunc, "inplace"  # type: ignore[attr-defined]
    return operator


def _array_unary(ufunc: Any) -> Any:
    def operator(self: Any) -> Any:
        return RULES["elementwise"](ufunc, (self,), {})
    operator.ufunc, operator.kind = ufunc, "unary"  # type: ignore[attr-defined]
    return operator


def _sparse_operator(ufunc: Any, a: Any, b: Any, reflected: bool) -> Any:
    """`*` with a SciPy sparse matrix (not array) is the matrix product; the rest is refused."""
    sparse = a if scipy.sparse.issparse(a) else b
    if ufunc is np.multiply and _is_sparse_matrix(sparse) and np.ndim(b if sparse is a else a):
        return RULES["matmul"](b, a) if reflected else RULES["matmul"](a, b)
    raise unsupported("np.%s of a traced value and a scipy.sparse %s" % (
        ufunc.__name__, type(sparse).__name__), "only products with @, A.dot(x) or a sparse "
        "matrix's * are traced")


def _is_sparse_matrix(value: Any) -> bool:
    """A sparse matrix, whose `*` is the matrix product; sparse arrays multiply elementwise."""
    sparray = getattr(scipy.sparse, "sparray", None)
    if sparray is not None:
        return not isinstance(value, sparray)
    # SciPy 1.8 to 1.10 have sparse arrays (csr_array, ...) but no common base class to test.
    return not type(value).__name__.endswith("_array")


_BINARY = {
    "add": np.add, "sub": np.subtract, "mul": np.multiply, "truediv": np.true_divide,
    "floordiv": np.floor_divide, "mod": np.remainder, "pow": np.power, "and": np.bitwise_and,
    "or": np.bitwise_or, "xor": np.bitwise_xor, "lshift": np.left_shift,
    "rshift": np.right_shift, "divmod": np.divmod,
}
_COMPARE = {"lt": np.less, "le": np.less_equal, "gt": np.greater, "ge": np.greater_equal,
            "eq": np.equal, "ne": np.not_equal}
_UNARY = {"neg": np.negative, "pos": np.positive, "abs": np.absolute, "invert": np.invert}



for _suffix, _ufunc in _BINARY.items():
    setattr(TracedScalar, "__%s__" % _suffix, _scalar_operator(_ufunc))
    setattr(TracedScalar, "__r%s__" % _suffix, _scalar_operator(_ufunc, True))
    setattr(TracedArray, "__%s__" % _suffix, _array_operator(_ufunc))
    setattr(TracedArray, "__r%s__" % _suffix, _array_operator(_ufunc, True))
    if _suffix != "divmod":
        setattr(TracedArray, "__i%s__" % _suffix, _array_inplace(_ufunc))
for _suffix, _ufunc in _COMPARE.items():
    setattr(TracedScalar, "__%s__" % _suffix, _scalar_operator(_ufunc))
    setattr(TracedArray, "__%s__" % _suffix, _array_operator(_ufunc))
for _suffix, _ufunc in _UNARY.items():
    setattr(TracedScalar, "__%s__" % _suffix, _scalar_unary(_ufunc))
    setattr(TracedArray, "__%s__" % _suffix, _array_unary(_ufunc))
for _name in dir(np):
    _candidate = getattr(np, _name)
    if isinstance(_candidate, np.ufunc) and _candidate.nin == 1 and _candidate.nout == 1 \
            and not hasattr(TracedScalar, _name):
        setattr(TracedScalar, _name, _scalar_method(_name))
