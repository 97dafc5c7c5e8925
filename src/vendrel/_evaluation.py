"""Calling the residual function: as given or through a SparseSolver, serially or through
workers, with each result checked and, when it is wrong, named by the evaluation that made it.

SparseSolver subclass instances cannot be pickled (the class defines no pickling), so a solver
travels to worker processes as its class, instance dictionary and slot values, and is rebuilt
there without calling the class: the class ignores construction arguments anyway.

A solver is recognised by its protocol, an object that is not callable but has a
``compute_residuals`` method, so that importing the engine never loads the compiled module:
an instance of its class can exist only once something else has loaded it.
"""

from __future__ import annotations

import collections.abc
import concurrent.futures
import itertools
import multiprocessing
import operator
import os
import sys
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

SOLVER_MODULE = "vendrel.sparse_solver"


class SolverMethod:
    """A method of a solver instance, picklable by the instance's state."""

    __slots__ = ("solver", "name")

    def __init__(self, solver: Any, name: str) -> None:
        self.solver, self.name = solver, name

    def __call__(self, x: Any) -> Any:
        return getattr(self.solver, self.name)(x)

    def __reduce__(self) -> Tuple[Any, ...]:
        cls = type(self.solver)
        state = dict(getattr(self.solver, "__dict__", {}))
        return _rebuild_solver_method, (cls, state, _slot_values(self.solver), self.name)


def _slot_values(obj: Any) -> List[Tuple[str, Any]]:
    values = []
    for klass in type(obj).__mro__:
        slots = klass.__dict__.get("__slots__", ())
        for name in (slots,) if isinstance(slots, str) else slots:
            if name in ("__dict__", "__weakref__"):
                continue
            if name.startswith("__") and not name.endswith("__"):
                name = "_%s%s" % (klass.__name__.lstrip("_"), name)
            try:
                values.append((name, getattr(obj, name)))
            except AttributeError:
                pass  # a slot never set stays unset
    return values


def _rebuild_solver_method(cls: type, state: Dict[str, Any], slots: List[Tuple[str, Any]],
                           name: str) -> SolverMethod:
    solver = cls.__new__(cls)  # type: ignore[call-overload]
    if state:
        solver.__dict__.update(state)
    for slot, value in slots:
        setattr(solver, slot, value)
    return SolverMethod(solver, name)


def _solver_class() -> Any:
    """The compiled SparseSolver class if its module is loaded (else no instance exists)."""
    module = sys.modules.get(SOLVER_MODULE)
    return getattr(module, "SparseSolver", None)


def residual_target(fun: Any) -> Callable[..., Any]:
    """The callable that computes the residuals of `fun`."""
    solver, name = None, "compute_residuals"
    base = _solver_class()
    if not callable(fun) and callable(getattr(fun, "compute_residuals", None)):
        solver = fun
    elif base is not None and isinstance(getattr(fun, "__self__", None), base) and \
            hasattr(fun, "__name__"):
        solver, name = fun.__self__, fun.__name__
    if solver is not None:
        if name == "compute_residuals" and base is not None and isinstance(solver, base) and \
                type(solver).compute_residuals is base.compute_residuals:
            raise TypeError(
                "%s does not define compute_residuals: the SparseSolver's own version returns "
                "zeros, which would give an all-zero Jacobian" % type(solver).__qualname__)
        return SolverMethod(solver, name)
    if not callable(fun):
        raise TypeError("fun must be callable or a SparseSolver instance, not %s"
                        % type(fun).__name__)
    return fun  # type: ignore[no-any-return]


def check_arguments(args: Any, kwargs: Any) -> Tuple[Tuple[Any, ...], Dict[str, Any]]:
    """`args` and `kwargs` of the residual function, as SciPy takes them."""
    if isinstance(args, (str, bytes)) or not isinstance(args, collections.abc.Iterable):
        raise TypeError("args must be a tuple of further arguments of fun, not %s"
                        % type(args).__name__)
    if kwargs is not None and not isinstance(kwargs, collections.abc.Mapping):
        raise TypeError("kwargs must be a dict of keyword arguments of fun, not %s"
                        % type(kwargs).__name__)
    return tuple(args), dict(kwargs) if kwargs else {}


def check_flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError("%s must be True or False, not %r" % (name, value))
    return bool(value)


def check_progress(progress: Any) -> bool:
    """progress=, checked (and tqdm found) when the function receives it."""
    if check_flag(progress, "progress"):
        Progress.require()
    return bool(progress)


class Residual:
    """``fun(x, *args, **kwargs)``, with real x handed over in the point's own float type."""

    __slots__ = ("target", "args", "kwargs", "dtype")

    def __init__(self, target: Callable[..., Any], args: Any, kwargs: Optional[Dict[str, Any]],
                 dtype: Optional[np.dtype] = None) -> None:
        self.target, self.dtype = target, dtype
        self.args = tuple(args) if args is not None else ()
        self.kwargs = dict(kwargs) if kwargs else {}

    def __call__(self, x: npt.NDArray[Any]) -> Any:
        if self.dtype is not None and x.dtype.kind == "f":
            x = x.astype(self.dtype)
        return self.target(x, *self.args, **self.kwargs)

    def __reduce__(self) -> Tuple[Any, ...]:
        return Residual, (self.target, self.args, self.kwargs, self.dtype)


def flat_result(value: Any) -> npt.NDArray[Any]:
    """The residuals a function returned, as one row each: an array of any shape flattened in
    C order, a number, or a (nested) list or tuple of those, joined in order. The one reading
    of a result, shared by tracing (which flattens traced values the same way), perturbation,
    estimation and root, so that each sees the same rows in the same order."""
    if isinstance(value, (list, tuple)):
        parts = [flat_result(item) for item in value]
        return np.concatenate(parts) if parts else np.zeros(0)
    return np.asarray(value).reshape(-1)


def check_result(value: Any, which: Callable[[], str], m: Optional[int] = None,
                 expected: str = "", complex_step: bool = False) -> npt.NDArray[Any]:
    """The residual as a one-dimensional array (`flat_result`), or an error naming the
    evaluation."""
    try:
        f = flat_result(value)
    except (TypeError, ValueError) as error:
        raise TypeError("fun returned something that is not an array at %s: %s"
                        % (which(), error)) from None
    kind = f.dtype.kind
    if complex_step and kind != "c":
        raise TypeError(
            "fun returned %s values at %s, where x is complex: method='cs' needs a function "
            "that accepts complex x and carries the imaginary part through" % (f.dtype, which()))
    if not complex_step and kind not in "iuf":
        raise TypeError("fun returned %s values at %s; it must return real numbers"
                        % (f.dtype, which()))
    if m is not None and len(f) != m:
        raise ValueError("fun returned %d values at %s; %s" % (len(f), which(), expected))
    return f


def _start_context() -> Any:
    # As SciPy does: where the start method was never chosen, POSIX before Python 3.14 would
    # fork, which can deadlock a process that runs threads; a fork server avoids that.
    method = multiprocessing.get_start_method(allow_none=True)
    if method is None and os.name == "posix" and sys.version_info < (3, 14) and \
            "forkserver" in multiprocessing.get_all_start_methods():
        method = "forkserver"
    return multiprocessing.get_context(method)


class Workers:
    """Where evaluations run: here, in a process pool of our own, or through a map-like
    callable ``workers(func, iterable)``. Results come back in order either way."""

    def __init__(self, workers: Any) -> None:
        self.size = 1
        self.mapper: Optional[Callable[..., Any]] = None
        self.pool: Optional[concurrent.futures.ProcessPoolExecutor] = None
        self.pool_process = 0  # the process that made the pool
        if workers is None:
            return
        if callable(workers):
            self.mapper = workers
            return
        if all(callable(getattr(workers, name, None)) for name in ("map", "gather", "nthreads")):
            # A Dask client: its map and gather, and its threads for the shares.
            self.mapper = DaskMap(workers)
            return
        try:
            size = operator.index(workers)
        except TypeError:
            raise TypeError("workers must be None, an int, a map-like callable or a Dask client, "
                            "not %s"
                            % type(workers).__name__) from None
        if size == -1:
            size = os.cpu_count() or 1
        if size < 1:
            raise ValueError("workers must be -1 (all cores) or at least 1, not %d" % size)
        self.size = size

    @property
    def parallel(self) -> bool:
        return self.mapper is not None or self.size > 1

    def map(self, func: Callable[[Any], Any], items: Iterable[Any]) -> Iterator[Any]:
        """func over items, in order. In parallel, each worker gets one task: its share of the
        items, in a row, so that a round trip is paid once per worker, not once per item."""
        if self.mapper is None and self.size == 1:
            # Lazily, one at a time: a residual function may fill and return the same array on
            # every call, so each result is used up before the next evaluation.
            return map(func, items)
        items = list(items)
        shares = max(1, min(len(items), self.shares))
        chunk = -(-len(items) // shares)
        if self.mapper is not None:
            batches = [items[k:k + chunk] for k in range(0, len(items), chunk)]
            return itertools.chain.from_iterable(self.mapper(Batch(func), batches))
        if self.pool is not None and self.pool_process != os.getpid():
            # A forked child inherits the parent's pool object but none of its workers or
            # threads: it would wait forever. The child makes its own.
            self.pool = None
        if self.pool is None:
            self.pool = concurrent.futures.ProcessPoolExecutor(self.size, mp_context=_start_context())
            self.pool_process = os.getpid()
        batches = [items[k:k + chunk] for k in range(0, len(items), chunk)]
        return self._guarded(itertools.chain.from_iterable(self.pool.map(Batch(func), batches)))

    @property
    def shares(self) -> int:
        """Into how many tasks a batch of evaluations is split: one per worker. A map-like
        callable does not say how many workers it has; a Dask client's map does."""
        if self.mapper is None:
            return self.size
        client = getattr(self.mapper, "client", getattr(self.mapper, "__self__", None))
        nthreads = getattr(client, "nthreads", None)
        if callable(nthreads):
            try:
                return max(1, sum(dict(nthreads()).values()))
            except Exception:  # a client that cannot tell: the machine's cores
                pass
        return os.cpu_count() or 1

    def _guarded(self, results: Iterator[Any]) -> Iterator[Any]:
        try:
            yield from results
        except concurrent.futures.process.BrokenProcessPool:
            # A worker died; the pool is of no further use, and the next call makes a new one.
            self.close()
            raise

    def evaluate(self, func: Callable[[Any], Any], item: Any) -> Any:
        """One evaluation, where the others would run."""
        return next(iter(self.map(func, [item])))

    def close(self) -> None:
        pool, self.pool = self.pool, None
        if pool is not None and self.pool_process == os.getpid():
            pool.shutdown(wait=True)

    def __getstate__(self) -> Dict[str, Any]:
        # A pool belongs to its process: a copy starts its own when it first needs one.
        state = dict(self.__dict__)
        state.update(pool=None, pool_process=0)
        return state


class DaskMap:
    """A Dask client as a map: ``client.gather(client.map(func, items, pure=False))``."""

    def __init__(self, client: Any) -> None:
        self.client = client

    def __call__(self, func: Callable[[Any], Any], items: List[Any]) -> List[Any]:
        return list(self.client.gather(self.client.map(func, items, pure=False)))


class Batch:
    """func over a list of items: one worker's share as one task. Each result is copied before
    the next evaluation, since a residual function may fill and return the same memory every
    call, and the share's results all travel back together."""

    __slots__ = ("func",)

    def __init__(self, func: Callable[[Any], Any]) -> None:
        self.func = func

    def __call__(self, items: List[Any]) -> List[Any]:
        return [_owned(self.func(item)) for item in items]

    def __reduce__(self) -> Tuple[Any, ...]:
        return Batch, (self.func,)


def _owned(value: Any) -> Any:
    """An array result as a copy of its own; anything else as it came (the caller checks it)."""
    if isinstance(value, np.ndarray) or hasattr(value, "__array_interface__") or \
            hasattr(value, "__array__") or isinstance(value, memoryview):
        return np.array(value)
    return value


class Progress:
    """A progress bar over a known number of evaluations, or nothing."""

    def __init__(self, enabled: bool, total: int, description: str) -> None:
        self.bar = None
        if enabled:
            self.bar = Progress.require()(total=total, desc=description, unit="evaluation")

    @staticmethod
    def require() -> Any:
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            raise ImportError("progress=True needs tqdm; install it with "
                              "pip install \"vendrel[progress]\"") from None
        return tqdm

    def update(self, count: int = 1) -> None:
        if self.bar is not None:
            self.bar.update(count)

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.bar is not None:
            self.bar.close()
