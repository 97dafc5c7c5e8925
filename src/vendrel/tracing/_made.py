"""Arrays the traced function makes itself: NumPy's array constructors, while a trace runs in
this thread, give `MadeArray`s, which are their values until a traced value is written into
them (``r = np.zeros(n); r[1:-1] = ...``), and traced arrays after.

The constructors are replaced in NumPy's namespace only for the length of a trace, by wrappers
that do what NumPy does unless the calling thread is tracing; so other threads see NumPy's
behaviour unchanged. Code that bound a constructor before the trace (``from numpy import
zeros``) gets plain arrays, whose traced writes stay refused.
"""

import sys
import threading
from typing import Any, Callable, Dict, Iterator, List, Tuple

import numpy as np

from vendrel.tracing._arrays import MadeArray, TracedArray, TracedScalar
from vendrel.tracing._errors import active, internal
from vendrel.tracing._operands import as_array, find_n
from vendrel.tracing._tables import RULES


def _plain(value: Any) -> Any:
    """`value` with every made array that is still its values replaced by them."""
    if isinstance(value, MadeArray):
        return value.values() if value.plain() else value
    if isinstance(value, list):
        return [_plain(v) for v in value]
    if isinstance(value, tuple):
        return tuple(_plain(v) for v in value)
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def _traced(value: Any) -> bool:
    """Whether `value` holds a traced value (a made array with a traced write counts)."""
    if isinstance(value, MadeArray):
        return not value.plain()
    if isinstance(value, (TracedArray, TracedScalar)):
        return True
    if isinstance(value, (list, tuple)):
        return any(_traced(v) for v in value)
    if isinstance(value, dict):
        return any(_traced(v) for v in value.values())
    if isinstance(value, np.ndarray) and value.dtype == object:
        return find_n(list(value.flat)) is not None
    return False


def _made(value: Any, given: List[Any], n: int) -> Any:
    """A result computed from values alone: a made array where it is a new array."""
    if isinstance(value, tuple):
        return tuple(_made(v, given, n) for v in value)
    if isinstance(value, list):
        return [_made(v, given, n) for v in value]
    if type(value) is not np.ndarray or value.dtype == object:
        return value
    if any(isinstance(g, np.ndarray) and np.may_share_memory(value, g) for g in given):
        # A view of values handed out: NumPy's would be a view of the made array; refused
        # writes are safer than a view that does not see them.
        value.flags.writeable = False
        return value
    return MadeArray.of(value, n)


def _leaves(value: Any) -> List[Any]:
    if isinstance(value, (list, tuple)):
        return [leaf for v in value for leaf in _leaves(v)]
    if isinstance(value, dict):
        return [leaf for v in value.values() for leaf in _leaves(v)]
    return [value]


def _n(values: Any) -> int:
    for value in _leaves(values):
        if isinstance(value, (TracedArray, TracedScalar)):
            return value.n
    raise AssertionError("no traced value")  # pragma: no cover - dispatch needs one


def made_ufunc(ufunc: Any, method: str, inputs: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
    n = _n([inputs, kwargs])
    out = kwargs.get("out")
    outs = out if isinstance(out, tuple) else (out,)
    if not _traced([inputs, kwargs.get("where")]):
        # Values only: NumPy's own, with made arrays given as out= receiving the results.
        plain_inputs = _plain(inputs)
        others = {k: _plain(v) for k, v in kwargs.items() if k != "out"}
        if all(o is None for o in outs):
            return _made(getattr(ufunc, method)(*plain_inputs, **others),
                         _leaves(plain_inputs), n)
        if all(isinstance(o, MadeArray) and o.plain() or o is None for o in outs):
            temporary = tuple(None if o is None else o.values(seal=False) for o in outs)
            done = getattr(ufunc, method)(*plain_inputs, out=temporary, **others)
            for target, value in zip(outs, temporary):
                if target is not None:
                    target[...] = value
            results = done if isinstance(done, tuple) else (done,)
            results = tuple(o if o is not None else r for o, r in zip(outs, results))
            return results[0] if len(results) == 1 else results
    converted = {k: (v if k == "out" else _plain(v)) for k, v in kwargs.items()}
    return RULES["ufunc"](ufunc, method, tuple(_plain(v) for v in inputs), converted)


def made_function(func: Any, types: Any, args: Any, kwargs: Any) -> Any:
    n = _n([args, kwargs])
    if not _traced([args, kwargs]):
        plain_args, plain_kwargs = _plain(list(args)), _plain(dict(kwargs))
        out = plain_kwargs.get("out")
        if isinstance(out, MadeArray):  # a plain made array receiving constants
            temporary = out.values(seal=False)
            plain_kwargs["out"] = temporary
            func(*plain_args, **plain_kwargs)
            out[...] = temporary
            return out
        done = func(*plain_args, **plain_kwargs)
        return _made(done, _leaves([plain_args, plain_kwargs]), n)
    # Made arrays with traced writes stay traced arrays; those still values are constants,
    # except where a function writes into them (its first argument: copyto, put, place).
    first, rest = (args[0], args[1:]) if args else (None, ())
    keep = isinstance(first, MadeArray) and func in _WRITERS
    converted = ([first] if keep else [_plain(first)] if args else []) + _plain(list(rest))
    return RULES["function"](func, types, tuple(converted), _plain(dict(kwargs)))


_WRITERS = {np.copyto, np.put, np.place, np.putmask, np.fill_diagonal, np.put_along_axis}


def _operator(ufunc: Any, kind: str) -> Callable[..., Any]:
    # Through the ufunc, so that made arrays still their values compute as NumPy's.
    if kind == "unary":
        return lambda self: ufunc(self)
    if kind == "reflected":
        return lambda self, other: ufunc(other, self)
    return lambda self, other: ufunc(self, other)


def _inplace(ufunc: Any, traced_version: Callable[..., Any]) -> Callable[..., Any]:
    def operator(self: MadeArray, other: Any) -> Any:
        if self.plain() and not _traced(other):
            values = self.values(seal=False)
            ufunc(values, _plain(other), out=values)
            self[...] = values
            return self
        self._check_open()
        return traced_version(self, _plain(other))
    return operator


for _name in [name for name in dir(TracedArray) if name.startswith("__")]:
    _method = getattr(TracedArray, _name)
    _ufunc = getattr(_method, "ufunc", None)
    if _ufunc is not None:
        kind = getattr(_method, "kind")
        if kind == "inplace":
            setattr(MadeArray, _name, _inplace(_ufunc, _method))
        else:
            setattr(MadeArray, _name, _operator(_ufunc, kind))


# --- NumPy's constructors, while this thread traces ---------------------------------------

def _traced_array(obj: Any, dtype: Any, copy: Any, order: Any, ndmin: int) -> Any:
    """np.array of something holding traced values: a traced array of NumPy's shape."""
    order = order if order in ("K", "A", "C", "F") else "K"
    result: Any
    if isinstance(obj, (TracedArray, TracedScalar)):
        result = as_array(obj)
        flags = result._pos.flags
        laid = {"K": True, "A": flags.c_contiguous or flags.f_contiguous,
                "C": flags.c_contiguous, "F": flags.f_contiguous}[order]
        if dtype is not None and np.dtype(dtype) != result.dtype:
            result = result.astype(dtype, order=order)
        elif copy or not laid:
            # NumPy copies where asked to, and where the array is not laid out as asked.
            result = result.copy(order=order)
    elif isinstance(obj, (list, tuple)):
        pieces = [_traced_array(v, None, False, "K", 0) if _traced(v) else np.asarray(_plain(v))
                  for v in obj]
        result = np.stack(pieces)  # through the traced handler
        if dtype is not None:
            result = result.astype(dtype)
    else:
        return None
    if ndmin > result.ndim:
        result = result.reshape((1,) * (ndmin - result.ndim) + result.shape)
    return result


def _array(original: Callable[..., Any], copies: bool, inside: bool = False,
           order: Any = None, least: int = 0) -> Callable[..., Any]:
    """np.array and its relatives (`order`: the one they lay out in, `least`: the fewest
    dimensions they give); `inside`: NumPy's own use in np.r_ and np.c_, whose pieces are
    the user's."""
    def array(obj: Any, dtype: Any = None, *args: Any, **kwargs: Any) -> Any:
        if active() is None or (not inside and internal(sys._getframe(1))):
            return original(obj, dtype, *args, **kwargs)
        if order is not None:
            kwargs = dict(kwargs, order=order, ndmin=max(least, int(kwargs.get("ndmin", 0))))
        if isinstance(obj, MadeArray) and obj.plain() and (
                dtype is None or np.dtype(dtype).kind in "biufc"):
            # Already an array: itself, or its copy in the dtype and layout asked for.
            return _traced_array(obj, dtype, kwargs.get("copy", copies),
                                 kwargs.get("order", "K"), int(kwargs.get("ndmin", 0)))
        if _traced(obj) and (dtype is None or np.dtype(dtype).kind in "biufc"):
            made = _traced_array(obj, dtype, kwargs.get("copy", copies), kwargs.get("order", "K"),
                                 int(kwargs.get("ndmin", 0)))
            if made is not None:
                return made
        plain = _plain(obj)
        if order is not None:  # NumPy's own takes no order= or ndmin=
            kwargs = {k: v for k, v in kwargs.items() if k not in ("order", "ndmin")}
        result = original(plain, dtype, *args, **kwargs)
        if type(result) is np.ndarray and result.dtype != object and not (
                isinstance(plain, np.ndarray) and np.may_share_memory(result, plain)):
            n = find_n([obj])
            return MadeArray.of(result, n if n is not None else _trace_n())
        return result
    array.__wrapped__ = original  # type: ignore[attr-defined]
    return array


def _filled(original: Callable[..., Any]) -> Callable[..., Any]:
    def constructor(*args: Any, **kwargs: Any) -> Any:
        result = original(*args, **kwargs)
        if active() is None or type(result) is not np.ndarray or result.dtype == object or \
                internal(sys._getframe(1)):
            return result
        return MadeArray.of(result, _trace_n())
    constructor.__wrapped__ = original  # type: ignore[attr-defined]
    return constructor


_n_of_trace = threading.local()


def _trace_n() -> int:
    return int(_n_of_trace.n)


_lock = threading.Lock()
_installed: List[Tuple[Any, str, Any]] = []
_users = 0


def _wrapping(copies: bool, **options: Any) -> Callable[[Any], Any]:
    def wrap(original: Any) -> Any:
        return _array(original, copies, **options)
    return wrap


def _targets() -> Iterator[Tuple[Any, str, Callable[[Any], Any]]]:
    index_tricks = sys.modules.get("numpy.lib._index_tricks_impl") or \
        sys.modules.get("numpy.lib.index_tricks")
    for name in ("zeros", "ones", "empty", "full"):
        yield np, name, _filled
    for name, copies in (("array", True), ("asarray", False), ("asanyarray", False)):
        yield np, name, _wrapping(copies)
    yield np, "ascontiguousarray", _wrapping(False, order="C", least=1)
    yield np, "asfortranarray", _wrapping(False, order="F", least=1)
    if index_tricks is not None and hasattr(index_tricks, "array"):
        yield index_tricks, "array", _wrapping(True, inside=True)


class Constructors:
    """NumPy's constructors give made arrays in this thread while the context is open."""

    def __init__(self, n: int) -> None:
        self.n = n

    def __enter__(self) -> None:
        global _users
        self.outer = getattr(_n_of_trace, "n", None)
        _n_of_trace.n = self.n
        with _lock:
            if not _users:
                for module, name, wrap in _targets():
                    original = getattr(module, name)
                    _installed.append((module, name, original))
                    setattr(module, name, wrap(original))
            _users += 1

    def __exit__(self, *exc: Any) -> None:
        global _users
        _n_of_trace.n = self.outer
        with _lock:
            _users -= 1
            if not _users:
                while _installed:
                    module, name, original = _installed.pop()
                    setattr(module, name, original)


RULES["plain"] = _plain
RULES["traced"] = _traced
RULES["made_ufunc"] = made_ufunc
RULES["made_function"] = made_function
