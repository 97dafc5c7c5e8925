"""Grouped finite differences: one evaluation per group (two for 3-point), then one pass that
recovers the entries.

The arithmetic is that of SciPy's approx_derivative, operation for operation, so that the
values agree to rounding. The plan is a `vendrel.grouping.ColumnGrouping` and checked steps
and bounds: everything here takes arguments already checked where the public function
received them, and checks only what a call brings (x, the residuals).
"""

from __future__ import annotations

import itertools
from typing import Any, Callable, List, Optional, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from vendrel import _runtime, _steps
from vendrel._evaluation import Progress, Residual, Workers, check_result
from vendrel._runtime import CscArray, CsrArray, Scheme, Workspace, nothing_to_check
from vendrel.grouping import ColumnGrouping, IntArray

FloatArray = npt.NDArray[np.float64]

#: What a Jacobian comes back as, by ``output``.
Jacobian = Union[CsrArray, CscArray, FloatArray]

__all__ = ["CscArray", "CsrArray", "Differences", "FloatArray", "IntArray", "Jacobian"]


class Differences:
    """A column grouping made into Jacobians: the evaluations of each group at a point, and
    the entries recovered from them."""

    def __init__(self, grouping: ColumnGrouping, method: str, rel_step: Optional[FloatArray],
                 abs_step: Optional[FloatArray], bounds: Any, output: str) -> None:
        self.method, self.output = method, output
        # Index pairs give only the smallest shape that holds their entries: the Jacobian's
        # is fixed by the first call (its x and its residual).
        open_shape = grouping.pairs
        self.grouping, self.open_shape = grouping, open_shape
        # SciPy ignores rel_step when abs_step is given.
        self.rel_step = None if abs_step is not None else rel_step
        self.abs_step = abs_step
        self.bounds = bounds
        # Fixed once known: for an index pair, by the first call (its x and its residual).
        self.m: Optional[int] = None if open_shape else grouping.shape[0]
        self.n: Optional[int] = None if open_shape else grouping.shape[1]
        self.limits: Optional[Tuple[Any, Any]] = None if open_shape else \
            _steps.as_bounds(bounds, grouping.shape[1])
        self.members: List[IntArray] = grouping.members()
        self.f_dtype: Optional[np.dtype] = None  # the residual's type, once seen
        # Workspaces of calls that have finished; a call takes one (or makes one), so that
        # calls from several threads, or from within the residual function, share none.
        self.idle: List[Workspace] = []
        self.pool: Any = None
        self.pool_for: Optional[ColumnGrouping] = None

    def __getstate__(self) -> dict:  # type: ignore[type-arg]
        # Memory and helper work belong to this process: a copy starts without them.
        state = dict(self.__dict__)
        state.update(idle=[], pool=None, pool_for=None)
        return state

    @property
    def count(self) -> int:
        return self.grouping.count

    def evaluations(self, f0_given: bool, one_sided: bool = False) -> int:
        per_group = 2 if self.method == "3-point" else 1
        base = not f0_given and (self.method == "2-point" or one_sided)
        return per_group * self.count + int(base)

    def most_evaluations(self, f0_given: bool) -> int:
        """The most evaluations the next Jacobian can make: f(x) where a column next to a
        bound may need it, and one more where the residual's type is not yet known and a
        first evaluation of another type must be made again with that type's steps."""
        finite = self.limits[0] is not None if self.limits is not None else any(
            np.isfinite(np.asarray(b, dtype=np.float64)).any() for b in self.bounds)
        relearn = not f0_given and self.f_dtype is None and self.method != "2-point"
        return self.evaluations(f0_given, finite) + int(relearn)

    def _columns(self, n: int) -> None:
        if self.n is None:
            if n < self.grouping.shape[1]:
                raise ValueError("x has %d values, but the pattern has entries in column %d"
                                 % (n, self.grouping.shape[1] - 1))
            self.n = n
            self.grouping = self.grouping.padded(self.grouping.shape[0], n)
            self.members = self.grouping.members()
        elif n != self.n:
            raise ValueError("x has %d values; the pattern has %d columns" % (n, self.n))
        if self.limits is None:
            self.limits = _steps.as_bounds(self.bounds, n)
        for name, step in (("rel_step", self.rel_step), ("abs_step", self.abs_step)):
            _steps.as_step(step, n, name)

    def _expect(self, f: npt.NDArray[Any]) -> None:
        """Fixes m from the first residual of an index-pair pattern."""
        if self.m is None:
            if len(f) < self.grouping.shape[0]:
                raise ValueError("fun returned %d values, but the pattern has entries in row %d"
                                 % (len(f), self.grouping.shape[0] - 1))
            self.m = len(f)
            assert self.n is not None
            self.grouping = self.grouping.padded(self.m, self.n)

    def _check(self, value: Any, which: Callable[[], str], complex_step: bool = False) -> npt.NDArray[Any]:
        expected = "" if self.m is None else (
            ("the pattern has %d rows" if self.open_shape else "the sparsity has %d rows") % self.m)
        f = check_result(value, which, self.m, expected, complex_step)
        self._expect(f)
        return f

    def start_check(self, out: Any) -> Optional[Callable[[], None]]:
        """Starts checking `out` where the shape is known by now (its indices are compared on
        a helper thread); what it returns finishes the check."""
        return _runtime.check_out(out, self.grouping, self.output) \
            if out is not None and self.m is not None else None

    def __call__(self, x: FloatArray, narrow: Any, residual: Residual, workers: Workers,
                 f0: Any, progress: bool, counter: List[int], out: Any = None,
                 check: Optional[Callable[[], None]] = None) -> Any:
        """The Jacobian at x (a float64 copy that nothing else holds); counter[0] counts the
        evaluations made. `check`, from start_check(out), if the caller started it."""
        self._columns(len(x))
        assert self.limits is not None
        _steps.check_within(x, *self.limits, name="x0")
        workspace = self.idle.pop() if self.idle else Workspace()
        try:
            return self._jacobian(x, narrow, residual, workers, f0, progress, counter, out,
                                  check, workspace)
        finally:
            self.idle.append(workspace)

    def _jacobian(self, x: FloatArray, narrow: Any, residual: Residual, workers: Workers,
                  f0: Any, progress: bool, counter: List[int], out: Any,
                  check: Optional[Callable[[], None]], workspace: Workspace) -> Any:
        # out is checked before any evaluation, and its indices compared meanwhile.
        out_checked = out is not None and self.m is not None
        confirm = _once(check if check is not None else self.start_check(out))
        residual = Residual(residual.target, residual.args, residual.kwargs, narrow)
        base: Optional[FloatArray] = None
        assumed = self.f_dtype
        if f0 is not None:
            given = self._check(f0, lambda: "f0 (given)")
            base, assumed = self._keep_base(given, workspace), given.dtype
        scheme = self._scheme(x, narrow, assumed, workspace)
        one_sided = scheme.one_sided
        needs_base = base is None and (self.method == "2-point" or (
            self.method == "3-point" and one_sided is not None and bool(one_sided.any())))
        # The residual's type sets the default step, so f(x) is evaluated first until the type
        # is known; after that, with workers, it goes out with the groups: one round trip less.
        batched = needs_base and workers.parallel and self.f_dtype is not None
        tally = _Tally(counter, self.evaluations(True) + int(needs_base))
        if needs_base or batched:
            confirm()
        with Progress(progress, tally.total, "Jacobian") as tally.bar:
            if needs_base and not batched:
                base = self._base(workers.evaluate(residual, x.copy()), tally, workspace)
                if self._eps(narrow, self.f_dtype) != self._eps(narrow, assumed):
                    scheme = self._scheme(x, narrow, self.f_dtype, workspace)
            try:
                rows, base = self._differences(scheme, base, batched, residual, workers, tally,
                                               confirm, workspace, narrow, assumed)
            except _Retype as retyped:
                # The first evaluation showed a residual type whose steps differ from those
                # assumed (3-point and cs evaluate no f(x) to learn it from): again, with them.
                tally.total += 1
                scheme = self._scheme(x, narrow, retyped.dtype, workspace)
                rows, base = self._differences(scheme, base, batched, residual, workers, tally,
                                               nothing_to_check, workspace, narrow,
                                               retyped.dtype)
        if batched and self._eps(narrow, self.f_dtype) != self._eps(narrow, assumed):
            # The residual changed its type since the last call: again, with the right steps.
            assert base is not None
            return self._jacobian(x, narrow, residual, workers, base.astype(self.f_dtype),
                                  progress, counter, out, nothing_to_check, workspace)
        return self._assemble(rows, scheme, base, out, out_checked)

    def _eps(self, narrow: Any, f_dtype: Any) -> float:
        return _steps.relative_eps(narrow, f_dtype, self.method)

    def _keep_base(self, f: npt.NDArray[Any], workspace: Workspace) -> FloatArray:
        """f(x), copied into the workspace: a residual function may fill and return the same
        memory every time. Its type is noted (it sets the default step)."""
        base = workspace.base_for(len(f))
        np.copyto(base, f, casting="unsafe")
        self.f_dtype = f.dtype
        return base

    def _base(self, value: Any, tally: "_Tally", workspace: Workspace) -> FloatArray:
        number = tally.made()
        f = self._check(value, lambda: "x0 (evaluation %d of %d, the base)"
                        % (number, tally.total))
        return self._keep_base(f, workspace)

    def _step_sizes(self, x: FloatArray, narrow: Any,
                    f_dtype: Any) -> Tuple[FloatArray, npt.NDArray[np.bool_]]:
        assert self.limits is not None
        rstep = _steps.relative_eps(narrow, f_dtype, self.method)
        h = _steps.absolute_steps(x, self.rel_step, self.abs_step, rstep)
        return _steps.fit_to_bounds(x, h, self.method, *self.limits)

    def _scheme(self, x: FloatArray, narrow: Any, f_dtype: Any, workspace: Workspace) -> Scheme:
        """The steps and the moved points: in one pass in the core when nothing is bounded."""
        assert self.limits is not None
        if self.limits[0] is None:
            return Scheme.unbounded(self.method, x, self._eps(narrow, f_dtype), self.rel_step,
                                    self.abs_step, workspace)
        return Scheme(self.method, x, *self._step_sizes(x, narrow, f_dtype))

    def _differences(self, scheme: Scheme, base: Optional[FloatArray], batched: bool,
                     residual: Residual, workers: Workers, tally: "_Tally",
                     confirm: Callable[[], None], workspace: Workspace, narrow: Any,
                     assumed: Any) -> Tuple[List[List[FloatArray]], Optional[FloatArray]]:
        """One row of m values per group and evaluation, copied into the workspace as it
        arrives (the imaginary part for cs), and f(x); `confirm()` runs before the first."""
        method, per_group = self.method, len(scheme.moved) or 1
        points = scheme.points(self.members, workspace, confirm)
        stream = workers.map(residual, itertools.chain([scheme.x.copy()], points) if batched else points)
        if batched:
            base = self._base(next(stream), tally, workspace)
        complex_step = method == "cs"
        # Where no f(x) told the residual's type, the first evaluation does: its steps are
        # checked against those taken.
        learn = base is None
        kind, m = ("c" if complex_step else "f"), self.m
        rows: Optional[List[List[FloatArray]]] = None if m is None else \
            workspace.rows_for(per_group, self.count, m)
        # The common case, an array of the right kind and length, is checked inline: this
        # loop is the fixed cost of a group.
        last = self.count - 1
        for k in range(self.count):
            for part in range(per_group):
                value = next(stream)
                number = tally.made()
                if type(value) is np.ndarray and value.ndim == 1 and value.dtype.kind == kind \
                        and len(value) == m:
                    f = value
                else:
                    f = self._check(value, lambda: _name(number, tally.total, k, part, per_group),
                                    complex_step)
                    if rows is None:
                        m = cast(int, self.m)
                        rows = workspace.rows_for(per_group, self.count, m)
                if learn:
                    learn = False
                    seen = f.real.dtype if complex_step else f.dtype
                    self.f_dtype = seen
                    if self._eps(narrow, seen) != self._eps(narrow, assumed):
                        _close(stream)
                        _close(points)
                        raise _Retype(seen)
                assert rows is not None
                if k == last and part == per_group - 1 and not complex_step and \
                        f.dtype == np.float64 and f.flags.c_contiguous:
                    # The last residual is read before any user code runs again: no copy.
                    rows = [list(row) for row in rows]
                    rows[part][k] = f
                else:
                    np.copyto(rows[part][k], f.imag if complex_step else f, casting="unsafe")
        if rows is None:  # no group: nothing evaluated
            rows = workspace.rows_for(per_group, 0, cast(int, self.m))
        return rows, base

    def _assemble(self, rows: List[List[FloatArray]], scheme: Scheme,
                  base: Optional[npt.NDArray[Any]], out: Any, out_checked: bool) -> Any:
        assert self.m is not None and self.n is not None
        grouping, output = self.grouping, self.output
        scheme.ready()
        pool = self._pool() if out is None and output != "dense" else None
        assemble = _runtime.assemble
        if self.method == "3-point":
            first, second = rows
            result = assemble(grouping, second, first, None, scheme.step, output, out, out_checked,
                              pool)
            if base is not None and scheme.one_sided is not None and scheme.one_sided.any():
                self._one_sided(result, base, np.array(first).reshape(-1, self.m),
                                np.array(second).reshape(-1, self.m), scheme)
            return result
        if self.method == "2-point":
            assert base is not None
            return assemble(grouping, rows[0], None, base, scheme.step, output, out, out_checked,
                            pool)
        return assemble(grouping, rows[0], None, None, scheme.step, output, out, out_checked, pool)

    def _pool(self) -> Any:
        if self.pool is None or self.pool_for is not self.grouping:
            self.pool = _runtime.matrix_pool(self.grouping, self.output)
            self.pool_for = self.grouping
        return self.pool

    def _one_sided(self, result: Any, base: npt.NDArray[Any], first: FloatArray,
                   second: FloatArray, scheme: Scheme) -> None:
        """Entries of the columns next to a bound, by SciPy's one-sided formula, operation for
        operation: (-3 f(x) + 4 f(x + h) - f(x + 2h)) / (2h)."""
        grouping = self.grouping
        one_sided = (-3.0 * base + 4.0 * first - second).reshape(-1)
        groups, m = grouping._groups, self.m
        if self.output == "csc":
            pointers, indices = grouping._by_col
            cols = np.repeat(np.arange(len(pointers) - 1), np.diff(pointers))
            rows = indices
        else:
            pointers, indices = grouping._by_row
            rows = np.repeat(np.arange(len(pointers) - 1), np.diff(pointers))
            cols = indices
        assert scheme.one_sided is not None
        mask = scheme.one_sided[cols]
        rows_at = groups[cols[mask]] * cast(int, m) + rows[mask]
        values = one_sided[rows_at] / scheme.step[cols[mask]]
        if self.output == "dense":
            result[rows[mask], cols[mask]] = values
        else:
            result.data[mask] = values


class _Retype(Exception):
    """The first evaluation's type calls for other steps than those taken."""

    def __init__(self, dtype: np.dtype) -> None:
        super().__init__(dtype)
        self.dtype = dtype


def _close(stream: Any) -> None:
    """Ends a stream of evaluations early (a generator's points are let go)."""
    close = getattr(stream, "close", None)
    if close is not None:
        close()


def _once(check: Optional[Callable[[], None]]) -> Callable[[], None]:
    """`check`, to be called where it is first needed and not again (None: nothing)."""
    pending = [check] if check is not None else []

    def run() -> None:
        while pending:
            pending.pop()()
    return run


class _Tally:
    """Counts evaluations: for this Jacobian (to name them), in total, and on the bar."""

    def __init__(self, counter: List[int], total: int) -> None:
        self.counter, self.total, self.count = counter, total, 0
        self.bar: Optional[Progress] = None

    def made(self) -> int:
        self.count += 1
        self.counter[0] += 1
        if self.bar is not None:
            self.bar.update()
        return self.count


def _name(number: int, total: int, group: int, part: int, per_group: int) -> str:
    which = ", %s of two" % ("first", "second")[part] if per_group == 2 else ""
    return "evaluation %d of %d (group %d%s)" % (number, total, group, which)
