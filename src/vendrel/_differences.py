"""Grouped finite differences: one evaluation per group (two for 3-point), then one pass that
recovers the entries.

The arithmetic is that of SciPy's approx_derivative, operation for operation, so that the
values agree to rounding. The plan is a `vendrel.grouping.ColumnGrouping` and checked steps
and bounds: everything here takes arguments already checked where the public function
received them, and checks only what a call brings (x, the residuals).
"""

from __future__ import annotations

import itertools
import sys
from typing import Any, Callable, Iterator, List, Optional, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from vendrel import _grouping, _steps
from vendrel._evaluation import Progress, Residual, Workers, check_result
from vendrel.grouping import (ColumnGrouping, CscArray, CsrArray, IntArray, check_out,
                              nothing_to_check)

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
        # The steps' divisors and the work that writes them, kept between calls (a caller's
        # lock keeps calls apart): fresh memory would cost a page fault per page, and nothing
        # handed out refers to it.
        self.work: List[Any] = []
        self.spare: List[FloatArray] = []  # a point buffer nothing else holds, or none
        self.pool: Any = None
        self.pool_for: Optional[ColumnGrouping] = None

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
        return check_out(out, self.grouping, self.output) \
            if out is not None and self.m is not None else None

    def __call__(self, x: FloatArray, narrow: Any, residual: Residual, workers: Workers,
                 f0: Any, progress: bool, counter: List[int], out: Any = None,
                 check: Optional[Callable[[], None]] = None) -> Any:
        """The Jacobian at x (a float64 copy that nothing else holds); counter[0] counts the
        evaluations made. `check`, from start_check(out), if the caller started it."""
        self._columns(len(x))
        assert self.limits is not None
        _steps.check_within(x, *self.limits, name="x0")
        # out is checked before any evaluation, and its indices compared meanwhile.
        out_checked = out is not None and self.m is not None
        confirm = _once(check if check is not None else self.start_check(out))
        residual = Residual(residual.target, residual.args, residual.kwargs, narrow)
        base = None if f0 is None else np.array(self._check(f0, lambda: "f0 (given)"))
        assumed = self.f_dtype if base is None else base.dtype
        scheme = self._scheme(x, narrow, assumed)
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
                base = self._base(workers.evaluate(residual, x.copy()), tally)
                if _steps.relative_eps(narrow, base.dtype, self.method) != \
                        _steps.relative_eps(narrow, assumed, self.method):
                    scheme = self._scheme(x, narrow, base.dtype)
            rows, base = self._differences(scheme, base, batched, residual, workers, tally,
                                           confirm)
        if batched and base is not None and _steps.relative_eps(narrow, base.dtype, self.method) != \
                _steps.relative_eps(narrow, assumed, self.method):
            # The residual changed its type since the last call: again, with the right steps.
            return self(x, narrow, residual, workers, base, progress, counter, out,
                        nothing_to_check)
        return self._assemble(rows, scheme, base, out, out_checked)

    def _base(self, value: Any, tally: "_Tally") -> npt.NDArray[Any]:
        number = tally.made()
        f = self._check(value, lambda: "x0 (evaluation %d of %d, the base)"
                        % (number, tally.total))
        value = None  # so that only `f` holds the result: _Kept counts its holders
        # Copied unless nothing else holds it: a residual function may fill and return the
        # same array every time. Its own type is kept (it sets the default step).
        base = _Kept().keep(f) if f.dtype == np.float64 else np.array(f)
        self.f_dtype = base.dtype
        return base

    def _step_sizes(self, x: FloatArray, narrow: Any,
                    f_dtype: Any) -> Tuple[FloatArray, npt.NDArray[np.bool_]]:
        assert self.limits is not None
        rstep = _steps.relative_eps(narrow, f_dtype, self.method)
        h = _steps.absolute_steps(x, self.rel_step, self.abs_step, rstep)
        return _steps.fit_to_bounds(x, h, self.method, *self.limits)

    def _scheme(self, x: FloatArray, narrow: Any, f_dtype: Any) -> "_Scheme":
        """The steps and the moved points: in one pass in the core when nothing is bounded."""
        assert self.limits is not None
        if self.limits[0] is None:
            rstep = _steps.relative_eps(narrow, f_dtype, self.method)
            return _Scheme.unbounded(self.method, x, rstep, self.rel_step, self.abs_step,
                                     self.work)
        return _Scheme(self.method, x, *self._step_sizes(x, narrow, f_dtype))

    def _differences(self, scheme: "_Scheme", base: Optional[npt.NDArray[Any]], batched: bool,
                     residual: Residual, workers: Workers, tally: "_Tally",
                     confirm: Callable[[], None],
                     ) -> Tuple[List[List[FloatArray]], Optional[npt.NDArray[Any]]]:
        """One row of m values per group and evaluation (the residual itself where it can be
        kept; the imaginary part for cs), and f(x); `confirm()` runs before the first."""
        method, per_group = self.method, len(scheme.moved) or 1
        points = scheme.points(self.members, self.spare, confirm)
        stream = workers.map(residual, itertools.chain([scheme.x.copy()], points) if batched else points)
        if batched:
            base = self._base(next(stream), tally)
        complex_step = method == "cs"
        rows: List[List[FloatArray]] = [[] for _ in range(per_group)]
        kept = _Kept()
        # The common case, an array of the right kind and length, is checked inline: this
        # loop is the fixed cost of a group.
        kind, m = ("c" if complex_step else "f"), self.m
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
                    m = self.m
                value = None  # so that only `f` holds the result: _Kept counts its holders
                rows[part].append(np.ascontiguousarray(f.imag) if complex_step else kept.keep(f))
        return rows, base

    def _assemble(self, rows: List[List[FloatArray]], scheme: "_Scheme",
                  base: Optional[npt.NDArray[Any]], out: Any, out_checked: bool) -> Any:
        assert self.m is not None and self.n is not None
        grouping, output = self.grouping, self.output
        scheme.ready()
        pool = self._pool() if out is None and output != "dense" else None
        if self.method == "3-point":
            first, second = rows
            result = grouping.assemble(second, first, None, scheme.step, output, out, out_checked,
                                       pool)
            if base is not None and scheme.one_sided is not None and scheme.one_sided.any():
                self._one_sided(result, base, np.array(first).reshape(-1, self.m),
                                np.array(second).reshape(-1, self.m), scheme)
            return result
        if self.method == "2-point":
            assert base is not None
            return grouping.assemble(rows[0], None, np.asarray(base, dtype=np.float64),
                                     scheme.step, output, out, out_checked, pool)
        return grouping.assemble(rows[0], None, None, scheme.step, output, out, out_checked, pool)

    def _pool(self) -> Any:
        """Memory for new Jacobians, taken back as they die: enough to keep two, the one a
        Newton iteration still holds while it asks for the next."""
        if self.pool is None or self.pool_for is not self.grouping:
            majors = self.grouping.shape[1 if self.output == "csc" else 0]
            index = self.grouping._by_row[1].itemsize
            self.pool = _grouping.Pool(2 * (self.grouping.nnz * (8 + index) + (majors + 1) * index))
            self.pool_for = self.grouping
        return self.pool

    def _one_sided(self, result: Any, base: npt.NDArray[Any], first: FloatArray,
                   second: FloatArray, scheme: "_Scheme") -> None:
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


class _Kept:
    """Residuals kept as they came where nothing else holds them, and copied otherwise: a
    residual function may fill and return the same array on every call (or keep a view of
    it), and the next evaluation would then overwrite what was kept. Always float64."""

    def __init__(self) -> None:
        probe = np.empty(2)[:]
        self.unshared = _references(probe)  # what a fresh array held by one name shows
        owner = probe.base
        self.unshared_base = _references(owner) - 1  # its base, held by the view alone

    def keep(self, f: npt.NDArray[Any]) -> FloatArray:
        # Counted as in __init__: the caller's one name, this argument, getrefcount's own
        # (a method call makes no argument tuple). A view (a residual reshaped on return,
        # say) is as good when nothing but the view holds its base.
        if sys.getrefcount(f) <= self.unshared and f.dtype == np.float64 and \
                f.flags.c_contiguous:
            owner = f.base
            if owner is None:
                return f
            if type(owner) is np.ndarray and owner.base is None and \
                    _references(owner) - 1 <= self.unshared_base:
                return f
        return np.array(f, dtype=np.float64)


def _references(f: Any) -> int:
    return sys.getrefcount(f)


class _Scheme:
    """The moved components of x, and what each column's difference is divided by: arrays
    where bounds shape the steps, else SciPy's rule for the core to apply as it goes."""

    SCHEMES = {"2-point": 0, "3-point": 1, "cs": 2}

    def __init__(self, method: str, x: FloatArray, h: FloatArray,
                 one_sided: Optional[npt.NDArray[np.bool_]]) -> None:
        self.x, self.h, self.one_sided = x, h, one_sided
        self.rule: Optional[Tuple[float, Optional[FloatArray], Optional[FloatArray], int]] = None
        self.pending: Any = None  # the helper's work on the divisors, if any
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
                  abs_step: Any, work: List[Any]) -> "_Scheme":
        """SciPy's steps where nothing is bounded, as a rule: the core moves the columns of
        each point by the rule itself, and what divides each column's differences is stored
        on a helper thread while the residual function runs (into work[0], kept between
        calls; work[1] is the helper's work, waited for before work[0] is written again)."""
        scheme = cls.__new__(cls)
        scheme.x, scheme.one_sided, scheme.pending = x, None, None
        scheme.rule = (rstep, _flat(rel_step), _flat(abs_step), cls.SCHEMES[method])
        scheme.moved = [None] * {"2-point": 1, "3-point": 2}.get(method, 0)
        if len(work) == 2 and work[1] is not None:
            work[1].wait()  # a Jacobian that failed may have left it running
        if not work or len(work[0]) != len(x):
            work[:] = [np.empty(len(x)), None]
        scheme.step = work[0]
        if method == "cs":
            # Complex steps divide by the step itself, and need it to move their points.
            _grouping.steps(x, scheme.rule, False, scheme.step)
            scheme.h = scheme.step
        else:
            work[1] = scheme.pending = _grouping.start_steps(x, scheme.rule, True, scheme.step)
        return scheme

    def ready(self) -> None:
        """Returns once the divisors are stored."""
        if self.pending is not None:
            self.pending.wait()

    def points(self, members: List[IntArray], spare: List[FloatArray],
               confirm: Callable[[], None]) -> Iterator[npt.NDArray[Any]]:
        """The points to evaluate, group by group. Each next point is written on another
        thread while the residual function evaluates this one, into one of two buffers kept
        in `spare` between Jacobians (fresh memory costs a page fault per page); a buffer
        something else still holds (a residual function that kept its argument) is left to
        it, and a new one made."""
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

        def buffer(busy: Optional[FloatArray]) -> FloatArray:
            for held, count in zip(spare, _holders(spare)):
                if held is not busy and len(held) == len(x) and count <= _UNHELD:
                    return held
            made = np.empty_like(x)
            spare[:] = [b for b in spare if b is busy][:1] + [made]
            return made

        if 2 * x.nbytes < _grouping.HAND_OVER:
            # Small points are written in turn, into one buffer: handing one over would cost
            # more than writing it.
            for cols, part, moved in steps:
                point = buffer(None)
                _grouping.perturb(x, cols, point, moved, rule, part)
                confirm()
                yield point
                del point  # so that the buffer counts as free for the next
            return
        cols, part, moved = steps[0]
        point = buffer(None)
        _grouping.perturb(x, cols, point, moved, rule, part)
        confirm()  # written meanwhile: the first point harms nothing if the check then fails
        for following in steps[1:]:
            ahead = buffer(point)
            pending = _grouping.start_perturb(x, following[0], ahead, following[2], rule,
                                              following[1])
            yield point
            pending.wait()
            point = ahead
        yield point


def _once(check: Optional[Callable[[], None]]) -> Callable[[], None]:
    """`check`, to be called where it is first needed and not again (None: nothing)."""
    pending = [check] if check is not None else []

    def run() -> None:
        while pending:
            pending.pop()()
    return run


def _holders(buffers: List[Any]) -> List[int]:
    """sys.getrefcount of each buffer, as counted here (the list, the loop, the argument)."""
    return [sys.getrefcount(b) for b in buffers]


#: What `_holders` shows for a buffer that nothing but its list holds.
_UNHELD = _holders([np.empty(1)])[0]


def _flat(step: Optional[FloatArray]) -> Optional[FloatArray]:
    return None if step is None else np.ascontiguousarray(step, dtype=np.float64).reshape(-1)


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
