"""The tracing error and every text it carries, kept in one place, and the record of the
refusals raised during a trace.

A refusal must not be lost to the residual function's own ``try: ... except Exception:``: a
fallback branch taken while tracing gives the fallback's pattern, not the function's. So every
refusal made during a trace is recorded when it is made, and the trace raises the first one
again when the traced call returns, whatever the function did with it.
"""

import os
import sys
import threading
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple, Type, cast

PERTURB = 'find the pattern by perturbation instead (method="perturb")'


class TracingError(Exception):
    """The residual function did something whose dependencies cannot be traced.

    The message names the operation, and so does the attribute `operation` (for a warning that
    falls back to perturbation). Tracing refuses rather than guesses, so a traced pattern never
    misses an entry.
    """

    def __init__(self, message: str, operation: str = "", where: Optional[str] = None) -> None:
        operation = operation or message.split(":")[0]
        if where is None:
            where = _where(_stack(sys._getframe(1)))
        if where:
            message = "%s (%s)" % (message, where)
            operation = "%s, %s" % (operation, where)
        # Exception's own: a crash's type (below) may have an __init__ of other arguments.
        Exception.__init__(self, message)
        self.operation = operation
        trace = _active.trace
        if trace is not None:
            trace.append(self)


class _Active(threading.local):
    trace: Optional[List[TracingError]] = None


_active = _Active()


def active() -> Optional[List["TracingError"]]:
    """The refusals of the trace running in this thread, or None where none runs."""
    return _active.trace


class Recording:
    """The refusals made while this context is open (one trace; traces may nest)."""

    def __enter__(self) -> List[TracingError]:
        self.outer = _active.trace
        self.refusals: List[TracingError] = []
        _active.trace = self.refusals
        return self.refusals

    def __exit__(self, *exc: Any) -> None:
        _active.trace = self.outer


_HERE = os.path.dirname(os.path.abspath(__file__))
_LIBRARIES = ("numpy", "scipy")


def _library(frame: Any) -> Optional[str]:
    name = str(frame.f_globals.get("__name__", ""))
    if name.split(".")[0] in _LIBRARIES:
        return name
    return None


def _ours(frame: Any) -> bool:
    return os.path.dirname(os.path.abspath(cast(str, frame.f_code.co_filename))) == _HERE


def internal(frame: Any) -> bool:
    """Whether `frame` is NumPy's, SciPy's or the tracer's own code, not the user's (by its
    module's name: this runs on every array the tracer itself makes)."""
    name = str(frame.f_globals.get("__name__", ""))
    return name.startswith(("numpy.", "scipy.", "vendrel.tracing")) or name in ("numpy",
                                                                                 "scipy")


def _stack(frame: Any) -> Iterator[Tuple[Any, int]]:
    while frame is not None:
        yield frame, frame.f_lineno
        frame = frame.f_back


def _where(frames: Iterable[Tuple[Any, int]]) -> str:
    """The user's line that led to the refusal, and the library function it called if any.

    `frames` go from the innermost outwards; the tracer's own are passed over, and so are
    NumPy's and SciPy's, the outermost of which is the function the user called.
    """
    library = None
    for frame, line in frames:
        if _ours(frame):
            if frame.f_code.co_name == "trace_sparsity":
                break
            continue
        module = _library(frame)
        if module is not None:
            if module.endswith(".overrides"):
                continue  # NumPy 1.x's dispatch wrapper around the function the user called
            public = ".".join(part for part in module.split(".") if not part.startswith("_"))
            library = "%s.%s" % (public, frame.f_code.co_name)
            continue
        where = "at %s:%d in %s" % (os.path.basename(frame.f_code.co_filename), line,
                                    frame.f_code.co_name)
        if library is not None:
            where = "inside %s, called %s" % (library, where)
        return where
    return ""


def unsupported(operation: str, why: str = "") -> TracingError:
    """A refusal naming `operation`, with the reason when there is more to say than its name."""
    return TracingError("%s cannot be traced%s; %s" % (operation, ": " + why if why else "",
                                                      PERTURB), operation)


_CRASHES: Dict[type, type] = {}


def _crash_type(kind: type) -> Type[TracingError]:
    """TracingError that is also a `kind`, so that code catching either catches it."""
    found = _CRASHES.get(kind)
    if found is None:
        try:
            found = type("TracingError", (TracingError, kind), {"__module__": TracingError.__module__})
        except TypeError:  # a built-in exception whose instance layout cannot be combined
            found = TracingError
        _CRASHES[kind] = found
    return cast(Type[TracingError], found)


def crash(error: BaseException) -> TracingError:
    """A failure of the traced call that is not a refusal, as one: it ends the trace alike.

    The error is also an instance of the original exception's type, so that a caller who
    catches, say, NumPy's ValueError for a shape mismatch still does.
    """
    name = type(error).__name__
    entries = []
    tb = error.__traceback__
    while tb is not None:
        entries.append((tb.tb_frame, tb.tb_lineno))
        tb = tb.tb_next
    where = _where(reversed(entries))
    message = "the residual function raised %s while traced: %s; %s" % (name, error, PERTURB)
    kind = _crash_type(type(error))
    try:
        made = kind.__new__(kind)
    except Exception:  # an exception type that insists on its own arguments
        made = TracingError.__new__(TracingError)
    TracingError.__init__(made, message, "%s while traced" % name, where)
    return made


BRANCH = (
    "the residual function branches on a traced value (an `if`, `while`, `and`/`or`, `not`, "
    "Python's max()/min()/sorted(), or another truth test): while tracing, values are not "
    "known, only which inputs they depend on, and a pattern taken down one side of a branch "
    "would miss the entries of the other. Write the choice with np.where, np.maximum, "
    "np.minimum or np.clip, which trace as the union of both sides, or " + PERTURB)

TO_NUMBER = (
    "a traced value was turned into a plain number (float(), math.*, or assignment into a "
    "plain array made before the traced call, or by code that bound NumPy's constructors "
    "before it, as `from numpy import zeros` does): plain numbers cannot carry dependencies. "
    "Use NumPy's functions (np.sin, np.exp, ...) instead of math.*, make result arrays inside "
    "the function with np.zeros(n) or np.zeros_like(x), or " + PERTURB)

TO_INTEGER = (
    "a traced value was used as an integer (an index, a size, range()): positions that "
    "depend on x change the pattern from point to point; " + PERTURB)

TO_ARRAY = (
    "np.asarray/np.array/np.r_ (or a library calling them) turns a traced array into plain "
    "numbers, which cannot carry dependencies. Pass the array on as it is (it is already an "
    "array), join arrays with np.concatenate/np.stack, or " + PERTURB)

TO_TEXT = (
    "a traced value was formatted as text (f\"{r:.3e}\", format()): it has no value while "
    "traced. Format the residuals after the call, or " + PERTURB)

TRACED_INDEX = (
    "indexing with traced values (positions or masks computed from x, as argsort or "
    "x > 0 give them)", "the positions would depend on x")

PLAIN_OUT = (
    "writing traced values into a plain NumPy array made before the traced call (out= or an "
    "in-place operator)",
    "it cannot hold dependencies; make the array inside the function, with np.zeros(n) or "
    "np.zeros_like(x)")

SCALAR_SETITEM = "assignment into a traced scalar"

# What `TracingError.operation` says for the refusals above, which are not NumPy functions.
OPERATIONS = {
    BRANCH: "a branch on a traced value",
    TO_NUMBER: "a traced value turned into a plain number",
    TO_INTEGER: "a traced value used as an integer",
    TO_ARRAY: "a traced array turned into a plain array",
    TO_TEXT: "a traced value formatted as text",
}


def refusal(text: str) -> TracingError:
    return TracingError(text, OPERATIONS[text])
