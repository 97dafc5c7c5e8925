"""The sparsity pattern of a residual function in one call, by tracing its NumPy code.

`trace_sparsity` runs the function once on a traced array standing in for x, whose elements
carry the set of inputs they depend on instead of values. NumPy hands every operation on it to
the array's ``__array_ufunc__`` and ``__array_function__``, which combine the sets, so the
result says which residuals depend on which unknowns: the pattern at every x at once, with the
entries that vanish at a particular point included, for the cost of about one evaluation.

An operation that cannot be traced raises `TracingError` naming it; tracing never guesses, so
a traced pattern does not miss an entry.
"""

from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np
import numpy.typing as npt

from vendrel.tracing import _deps
from vendrel.tracing._arrays import TracedArray, TracedScalar
from vendrel.tracing._operands import operand
from vendrel.tracing._storage import Storage
# The rules, which fill the tables the types consult, and the operators that use them.
from vendrel.tracing import _ufuncs, _contract, _functions, _composite, _operators  # noqa: E402,F401,I001
from vendrel.tracing import _made  # noqa: E402,I001  (after the operators it routes)
from vendrel.tracing._errors import Recording, TracingError, crash

__all__ = ["TracingError", "trace_sparsity"]

# Reported under the name users import it by.
TracingError.__module__ = __name__


def trace_sparsity(fun: Any, x0: npt.ArrayLike, *, args: Sequence[Any] = (),
                   kwargs: Optional[Dict[str, Any]] = None) -> Any:
    """Which residuals depend on which unknowns, from one traced call of `fun`.

    Parameters
    ----------
    fun : callable or SparseSolver
        ``fun(x, *args, **kwargs)`` returning m values, or a `SparseSolver` instance whose
        class defines ``compute_residuals`` (that Python function is called directly).
    x0 : array_like
        Gives the shape and dtype of x; its values are not used. Unknown j is element j of
        ``x0`` in C order.
    args, kwargs : optional
        Further arguments of `fun`, passed as they are.

    Returns
    -------
    pattern : csr_array of bool, shape (m, n)
        Entry (i, j) is True where residual i depends on unknown j. The residuals are the
        flattened result of `fun` (an array, a traced scalar, or a list or tuple of them and
        of constants); constant residuals give empty rows. ``csr_matrix`` on SciPy releases
        without sparse arrays.

    Raises
    ------
    TracingError
        `fun` uses an operation that cannot be traced, or branches on a traced value; the
        message names it and the line of `fun` that did it. A refusal that `fun` catches is
        raised all the same when `fun` returns, and any other exception raised while `fun`
        runs becomes a TracingError (its cause). Perturbation
        (``detect_sparsity(..., method="perturb")``) still works for such functions.

    Notes
    -----
    The pattern is structural: it holds at every x, so it contains what perturbation finds at
    any point, and it keeps entries that vanish only at particular points (``x[0] * x[1]``
    at ``x[1] = 0``) or through a constant zero factor (``0.0 * x``). A constant matrix's
    zero entries in a product (``A @ x``, ``np.dot``, ``np.einsum``) are structural zeros.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.tracing import trace_sparsity
    >>> def fun(x):
    ...     r = x**2
    ...     r[:-1] -= x[1:]
    ...     return r
    >>> trace_sparsity(fun, np.zeros(3)).toarray()
    array([[ True,  True, False],
           [False,  True,  True],
           [False, False,  True]])
    """
    target = _residual_function(fun)
    point = np.asarray(x0)
    n = point.size
    storage = Storage(_deps.identity(n), n, identity=True)
    x = TracedArray(storage, storage.root.reshape(point.shape), point.dtype)
    with Recording() as refusals:
        try:
            with _made.Constructors(n):
                value = target(x, *tuple(args), **dict(kwargs or {}))
        except TracingError as error:
            raise (refusals[0] if refusals else error) from None
        except Exception as error:
            # A refusal the function caught is the cause of what went wrong after it; an
            # exception from anything else while traced ends the trace as a refusal does.
            if refusals:
                raise refusals[0] from error
            raise crash(error) from error
        if refusals:
            # Raised while traced and caught by the function (a guarded log, a fallback value):
            # what it returned is the pattern of the fallback, not of the function.
            raise refusals[0]
        rows = _flat_rows(value, n)
        if refusals:
            raise refusals[0]
    rows.sort_indices()
    return rows


def _residual_function(fun: Any) -> Callable[..., Any]:
    from vendrel.sparse_solver import SparseSolver
    solver = None
    if isinstance(fun, SparseSolver):
        solver = fun
    elif isinstance(getattr(fun, "__self__", None), SparseSolver) and \
            getattr(fun, "__name__", None) == "compute_residuals":
        solver = fun.__self__
    if solver is None:
        if not callable(fun):
            raise TypeError("fun must be callable or a SparseSolver instance, not %s"
                            % type(fun).__name__)
        return fun  # type: ignore[no-any-return]
    cls = type(solver)
    if cls.compute_residuals is SparseSolver.compute_residuals:
        raise TypeError("%s does not define compute_residuals: the SparseSolver's own version "
                        "returns zeros, which would give an empty pattern" % cls.__qualname__)

    def call(x: Any, *args: Any, **kwargs: Any) -> Any:
        # The class's Python function, since the solver's method only accepts float64 arrays.
        return cls.compute_residuals(solver, x, *args, **kwargs)
    return call


def _flat_rows(value: Any, n: int) -> Any:
    """The rows of the residuals `fun` returned, flattened in C order."""
    if isinstance(value, (list, tuple)):
        parts: List[Any] = [_flat_rows(item, n) for item in value]
        if not parts:
            return _deps.empty(0, n)
        return _deps.stack(parts, n)
    if not isinstance(value, (TracedArray, TracedScalar, np.ndarray, np.generic, float, int,
                              complex)):
        raise TypeError("fun returned a %s; it must return the residuals: an array, a number, "
                        "or a list or tuple of them" % type(value).__name__)
    op = operand(value, n)
    rows = op.broadcast(op.shape, n)
    if rows is None:
        return _deps.empty(op.size, n)
    return _deps.make(rows.indices, rows.indptr, op.size, n)
