"""The runtime of grouped differences: the memory a Jacobian in progress writes and reads, the
perturbed points, the recovery of the entries and the matrices it returns.

It owns everything it reads after user code has run again. Each residual is copied into a
block of the runtime's own as it arrives (a residual function may fill and return the same
memory every call, NumPy's or not), and each perturbed point is handed out in a block that
comes back to the runtime only when nothing refers to it any more: an array, a view or a
memoryview of it keeps it from being written again (memory a C extension keeps a raw pointer
to, without a reference, is not tracked). No decision rests on reference counts.

The passes themselves are compiled (`vendrel._passes`) and run with the interpreter lock
released, shared with helper threads on large problems.
"""

from __future__ import annotations

import os
import sys
import sysconfig
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Optional, Protocol, Sequence, Tuple

import numpy as np
import numpy.typing as npt
import scipy.sparse

if sysconfig.get_config_var("Py_GIL_DISABLED") and not getattr(sys, "_is_gil_enabled", bool)():
    # The helper crew and the memory pools rely on the interpreter lock to keep their lists.
    raise ImportError("vendrel does not support free-threaded CPython with the GIL disabled "
                      "yet; run with PYTHON_GIL=1 (or -X gil=1)")

from vendrel import _passes  # noqa: E402  (after the check above, which it relies on)

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intp]


class Plan(Protocol):
    """What the runtime reads of a column grouping (`vendrel.grouping.ColumnGrouping`): the
    pattern in both orientations, read-only, and each column's group."""

    @property
    def shape(self) -> Tuple[int, int]: ...

    @property
    def _by_col(self) -> Tuple[Any, Any]: ...

    @property
    def _by_row(self) -> Tuple[Any, Any]: ...

    @property
    def _groups(self) -> IntArray: ...

    @property
    def nnz(self) -> int: ...

if hasattr(os, "register_at_fork"):
    # The helper threads finish their work and end before a fork, so that the child is forked
    # from one thread; they start again when next needed.
    os.register_at_fork(before=_passes.stop_helpers)

if TYPE_CHECKING:
    from scipy.sparse import csc_array, csr_array

    CsrArray = csr_array
    CscArray = csc_array
else:
    # Sparse arrays arrived in SciPy 1.8; older releases have only the matrix classes, which
    # the results are then, whatever the annotations say.
    CsrArray = getattr(scipy.sparse, "csr_array", scipy.sparse.csr_matrix)
    CscArray = getattr(scipy.sparse, "csc_array", scipy.sparse.csc_matrix)

#: Point buffers below this many bytes are written in turn on the calling thread: handing one
#: over to a helper would cost more than writing it.
HAND_OVER: int = _passes.HAND_OVER
SCHEMES = {"2-point": 0, "3-point": 1, "cs": 2}


class Workspace:
    """The memory of one Jacobian in progress, kept for the next when it is done: fresh memory
    costs a page fault per page. An evaluator keeps a list of idle workspaces and takes one
    per call, so that calls from several threads, or a residual function that calls its own
    evaluator, each have their own."""

    def __init__(self) -> None:
        self.divisors: Optional[FloatArray] = None
        self.pending: Any = None  # the helper's work on the divisors, waited for before reuse
        self.points: Any = None   # a _passes.Pool of point buffers
        self.point_bytes = -1
        self.rows: Optional[FloatArray] = None  # (evaluations per group, groups, m)
        self.views: List[List[FloatArray]] = []
        self.base: Optional[FloatArray] = None

    def settle(self) -> None:
        """Waits for work a failed Jacobian may have left running."""
        if self.pending is not None:
            pending, self.pending = self.pending, None
            pending.wait()

    def divisors_for(self, n: int) -> FloatArray:
        if self.divisors is None or len(self.divisors) != n:
            self.divisors = np.empty(n)
        return self.divisors

    def point_pool(self, nbytes: int) -> Any:
        if self.point_bytes != nbytes:
            # Two points in turn, and one more while a residual function returns: what a
            # function that keeps no point needs.
            self.points, self.point_bytes = _passes.Pool(3 * nbytes), nbytes
        return self.points

    def rows_for(self, per_group: int, count: int, m: int) -> List[List[FloatArray]]:
        """The block the residuals of each group are copied into, as row views by part."""
        shape = (per_group, count, m)
        if self.rows is None or self.rows.shape != shape:
            self.rows = np.empty(shape)
            self.views = [list(self.rows[part]) for part in range(per_group)]
        return self.views

    def base_for(self, m: int) -> FloatArray:
        if self.base is None or len(self.base) != m:
            self.base = np.empty(m)
        return self.base


class Scheme:
    """The moved components of x, and what each column's difference is divided by: arrays
    where bounds shape the steps, else SciPy's rule for the core to apply as it goes."""

    def __init__(self, method: str, x: FloatArray, h: FloatArray,
                 one_sided: Optional[npt.NDArray[np.bool_]]) -> None:
        self.x, self.h, self.one_sided = x, h, one_sided
        self.rule: Optional[Tuple[float, Optional[FloatArray], Optional[FloatArray], int]] = None
        self.workspace: Optional[Workspace] = None
        self.moved: List[Optional[FloatArray]]
        self.step: Any
        if method == "2-point":
            raised = x + h
            self.moved = [raised]
            self.step = raised - x
        elif method == "3-point":
            assert one_sided is not None
            first = x + np.where(one_sided, h, -h)
            second = x + np.where(one_sided, 2 * h, h)
            self.moved = [first, second]
            self.step = np.where(one_sided, second - x, second - first)
        else:
            self.moved = []
            self.step = np.ascontiguousarray(h, dtype=np.float64)

    @classmethod
    def unbounded(cls, method: str, x: FloatArray, rstep: float, rel_step: Any,
                  abs_step: Any, workspace: Workspace) -> "Scheme":
        """SciPy's steps where nothing is bounded, as a rule: the core moves the columns of
        each point by the rule itself, and what divides each column's differences is stored
        on a helper thread, into the workspace, while the residual function runs."""
        scheme = cls.__new__(cls)
        scheme.x, scheme.one_sided, scheme.workspace = x, None, workspace
        scheme.rule = (rstep, _flat(rel_step), _flat(abs_step), SCHEMES[method])
        scheme.moved = [None] * {"2-point": 1, "3-point": 2}.get(method, 0)
        workspace.settle()
        scheme.step = workspace.divisors_for(len(x))
        if method == "cs":
            # Complex steps divide by the step itself, and need it to move their points.
            _passes.steps(x, scheme.rule, False, scheme.step)
            scheme.h = scheme.step
        else:
            workspace.pending = _passes.start_steps(x, scheme.rule, True, scheme.step)
        return scheme

    def ready(self) -> None:
        """Returns once the divisors are stored."""
        if self.workspace is not None:
            self.workspace.settle()

    def points(self, members: List[IntArray], workspace: Workspace,
               confirm: Callable[[], None]) -> Iterator[npt.NDArray[Any]]:
        """The points to evaluate, group by group, each in a block of the workspace's pool
        that returns to it when nothing refers to the point any more. Each next point is
        written on another thread while the residual function evaluates this one."""
        x, rule = self.x, self.rule
        if not self.moved:
            confirm()
            for cols in members:
                shifted = x.astype(np.complex128)
                shifted.imag[cols] = self.h[cols]
                yield shifted
            return
        steps = [(cols, part, moved) for cols in members for part, moved in enumerate(self.moved)]
        if not steps:
            confirm()
            return
        pool = workspace.point_pool(x.nbytes)

        def fresh() -> FloatArray:
            return np.frombuffer(pool.block(x.nbytes), dtype=np.float64)

        if 2 * x.nbytes < HAND_OVER:
            # Small points are written in turn: handing one over would cost more than writing it.
            for cols, part, moved in steps:
                point = fresh()
                _passes.perturb(x, cols, point, moved, rule, part)
                confirm()
                yield point
                del point  # so that its block is free for the next, unless the function kept it
            return
        cols, part, moved = steps[0]
        point = fresh()
        _passes.perturb(x, cols, point, moved, rule, part)
        confirm()  # written meanwhile: the first point harms nothing if the check then fails
        for following in steps[1:]:
            ahead = fresh()
            pending = _passes.start_perturb(x, following[0], ahead, following[2], rule,
                                            following[1])
            yield point
            pending.wait()
            point = ahead
        yield point


def _flat(step: Optional[FloatArray]) -> Optional[FloatArray]:
    return None if step is None else np.ascontiguousarray(step, dtype=np.float64).reshape(-1)


# -- the matrices


def assemble(grouping: Plan, rows: Sequence[Any], minus: Optional[Sequence[Any]],
             base: Any, steps: Any, output: str, out: Any, out_checked: bool = False,
             pool: Any = None) -> Any:
    """The matrix from one row of m values per group: each entry (rows[g][i] - minus[g][i] -
    base[i]) / steps[j], leaving out what is None. One pass in the core; `output` checked by
    the caller, and `out` too if `out_checked`. A new sparse matrix takes its arrays from
    `pool` (a ``_passes.Pool``) if given."""
    m, n = grouping.shape
    orientation = "csc" if output == "csc" else "csr"
    pointers, indices = grouping._by_col if orientation == "csc" else grouping._by_row
    if out is not None and not out_checked:
        check_out(out, grouping, output)()
    blocks = None
    if out is None and output != "dense" and pool is not None and len(indices):
        blocks = pool.arrays(pointers, indices)
        data = np.frombuffer(blocks[0], dtype=np.float64)
    else:
        data = np.empty(len(indices)) if out is None or output == "dense" else out.data
    _passes.recover(pointers, indices, grouping._groups, rows, minus, base, steps, m,
                    orientation == "csr", data)
    if output == "dense":
        dense = np.zeros((m, n)) if out is None else out
        if out is not None:
            dense[...] = 0.0
        dense[entry_rows(grouping), indices] = data
        return dense
    return out if out is not None else sparse_matrix(grouping, orientation, data, blocks)


def entry_rows(grouping: Plan) -> IntArray:
    """The row of each entry, in row order."""
    pointers = grouping._by_row[0]
    return np.repeat(np.arange(len(pointers) - 1, dtype=np.intp), np.diff(pointers))


def sparse_matrix(grouping: Plan, orientation: str, data: Any, blocks: Any = None) -> Any:
    # Fresh index arrays for every matrix: a caller's in-place change of one (sorting,
    # eliminate_zeros) must reach neither the grouping nor another matrix.
    pointers, indices = grouping._by_col if orientation == "csc" else grouping._by_row
    if blocks is None:
        pointers, indices = pointers.copy(), indices.copy()
    else:
        indices = np.frombuffer(blocks[1], dtype=indices.dtype)
        pointers = np.frombuffer(blocks[2], dtype=pointers.dtype)
    matrix = (CscArray if orientation == "csc" else CsrArray)(
        (data, indices, pointers), shape=grouping.shape, copy=False)
    # Sorted and without repeats: say so, so that SciPy never re-checks.
    matrix.has_sorted_indices = True
    matrix.has_canonical_format = True
    return matrix


def matrix_pool(grouping: Plan, output: str) -> Any:
    """Memory for new Jacobians, taken back as they die: enough to keep two, the one a
    Newton iteration still holds while it asks for the next."""
    majors = grouping.shape[1 if output == "csc" else 0]
    index = grouping._by_row[1].itemsize
    return _passes.Pool(2 * (grouping.nnz * (8 + index) + (majors + 1) * index))


def check_out(out: Any, grouping: Plan, output: str) -> Callable[[], None]:
    """`out` must be a matrix this grouping can write into: of `output`'s format, its shape
    and its pattern in its order. What is cheap is checked at once; the index arrays are
    compared on a helper thread, and calling what this returns finishes the check."""
    if output == "dense":
        ok = isinstance(out, np.ndarray) and out.shape == grouping.shape and \
            out.dtype == np.float64 and out.flags.writeable
        if not ok:
            raise ValueError("out must be a writable float64 array of shape %r"
                             % (grouping.shape,))
        return nothing_to_check
    pointers, indices = grouping._by_col if output == "csc" else grouping._by_row
    sparse: Any = out  # issparse narrows `out` to a base class without these attributes
    message = ("out must be a %s matrix with the pattern of this Jacobian (float64 data, the "
               "same indices in the same order)" % output)
    if not (scipy.sparse.issparse(out) and sparse.format == output
            and sparse.shape == grouping.shape
            and sparse.data.dtype == np.float64 and sparse.data.flags.writeable
            and sparse.data.flags.c_contiguous
            and len(sparse.indptr) == len(pointers) and len(sparse.indices) == len(indices)):
        raise ValueError(message)
    comparisons = [_start_same(sparse.indptr, pointers), _start_same(sparse.indices, indices)]

    def finish() -> None:
        if not all([compared() for compared in comparisons]):
            raise ValueError(message)
    return finish


def nothing_to_check() -> None:
    """A check already complete."""


def _start_same(given: Any, ours: IntArray) -> Callable[[], bool]:
    """Starts comparing a caller's index array with ours; what it returns tells the outcome."""
    if isinstance(given, np.ndarray) and given.dtype == ours.dtype and given.ndim == 1:
        pending = _passes.start_same_indices(np.ascontiguousarray(given), ours)
        compared: Callable[[], bool] = pending.wait
        return compared
    same = bool(np.array_equal(given, ours))
    return lambda: same
