"""The Jacobian runtime against awkward callers: residuals that hand back the same memory on
every call, a narrower residual type, a residual that calls its own SparseJacobian, forks,
copies of a SparseJacobian, and one SparseJacobian shared by several threads."""

import copy
import ctypes
import importlib
import importlib.util
import os
import pathlib
import pickle
import threading

import numpy as np
import pytest
import scipy.sparse
from scipy.optimize._numdiff import approx_derivative

from conftest import run_python
from vendrel.jacobian import SparseJacobian, estimate_jacobian

TESTS = pathlib.Path(__file__).resolve().parent
SIZE = 12  # the compiled residual's length (static_residual.SIZE)
JOIN = 30.0  # seconds a thread may take before it counts as stuck
LARGE = 2**17  # points of 1 MiB and more are written on the runtime's helper threads

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")


def bidiagonal(x):
    """r_i = x_i**2 - x_{i+1}; the last is x_{n-1}**2."""
    return x**2 - np.r_[x[1:], 0.0]


def band(n):
    return scipy.sparse.diags([np.ones(n), np.ones(n - 1)], [0, 1], format="csr").astype(bool)


def expected(x):
    return scipy.sparse.diags([2.0 * x, -np.ones(len(x) - 1)], [0, 1], format="csr")


def as_csr(jacobian):
    return jacobian if isinstance(jacobian, scipy.sparse.csr_array) else \
        scipy.sparse.csr_array(jacobian)


def error(jacobian, x):
    """The largest difference from the analytic Jacobian of `bidiagonal` at x."""
    difference = as_csr(jacobian) - expected(x)
    return float(abs(difference).max()) if difference.nnz else 0.0


def same(first, second):
    first, second = as_csr(first), as_csr(second)
    return first.shape == second.shape and all(
        np.array_equal(getattr(first, name), getattr(second, name))
        for name in ("indptr", "indices", "data"))


def finished(target, *args):
    """Runs target(*args) on a thread; returns what it returned or raised, failing the test
    if it has not finished within JOIN seconds."""
    outcome = {}

    def run():
        try:
            outcome["value"] = target(*args)
        except BaseException as raised:  # noqa: BLE001 - judged by the test
            outcome["error"] = raised

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(JOIN)
    assert not thread.is_alive(), "%s did not finish within %g s" % (target, JOIN)
    return outcome


# Residuals that return the same memory on every call. Each is a module-level function, so
# that worker processes can import it; the compiled one is loaded from the path it is given.

_loaded = {}


def static_tridiagonal(x, library):
    """The compiled residual: an array over its static buffer, with no base, not owned."""
    module = _loaded.get(library)
    if module is None:
        found = importlib.util.spec_from_file_location("static_residual", library)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        _loaded[library] = module
    return module.tridiagonal(x)


_CTYPES_BUFFER = (ctypes.c_double * SIZE)()


def ctypes_tridiagonal(x):
    """A new array each call, over the one ctypes buffer."""
    values = np.ctypeslib.as_array(_CTYPES_BUFFER)
    values[:] = bidiagonal(x)
    return values


class _Memory:
    """Memory NumPy does not own, lent through the array interface."""

    def __init__(self, address, n):
        self.__array_interface__ = {"data": (address, False), "shape": (n,),
                                    "typestr": np.dtype(np.float64).str, "version": 3}


_RAW_BUFFER = (ctypes.c_double * SIZE)()


def interface_tridiagonal(x):
    values = np.asarray(_Memory(ctypes.addressof(_RAW_BUFFER), SIZE))
    values[:] = bidiagonal(x)
    return values


_FILLED = np.empty(SIZE)


def filled_tridiagonal(x):
    """The same ndarray, filled again."""
    np.copyto(_FILLED, bidiagonal(x))
    return _FILLED


@pytest.fixture
def static_kind(request):
    """(fun, args) of the residual kind named by the parameter."""
    if request.param == "compiled":
        return static_tridiagonal, (request.getfixturevalue("static_residual").__file__,)
    return {"ctypes": ctypes_tridiagonal, "interface": interface_tridiagonal,
            "filled": filled_tridiagonal}[request.param], ()


# (tool, method, f0 given, workers). "detected" is estimate_jacobian finding the pattern.
STATIC_CALLS = [
    ("SparseJacobian", "2-point", False, None),
    ("SparseJacobian", "2-point", True, None),
    ("SparseJacobian", "3-point", False, None),
    ("SparseJacobian", "2-point", False, 2),
    ("SparseJacobian", "3-point", False, 2),
    ("estimate_jacobian", "2-point", False, None),
    ("estimate_jacobian", "2-point", True, None),
    ("estimate_jacobian", "3-point", False, None),
    ("estimate_jacobian", "3-point", False, 2),
    ("detected", "3-point", False, None),
]


def _call_id(call):
    tool, method, given, workers = call
    return "-".join([tool, method] + ["f0"] * given + (["workers%d" % workers] if workers else []))


@pytest.mark.parametrize("static_kind", ["compiled", "ctypes", "interface", "filled"],
                         indirect=True)
@pytest.mark.parametrize("call", STATIC_CALLS, ids=_call_id)
def test_a_residual_returning_the_same_memory_every_call(static_kind, call):
    fun, args = static_kind
    tool, method, given, workers = call
    points = [np.linspace(0.5, 2.0, SIZE), np.linspace(3.0, -1.0, SIZE)]

    def f0(x):
        # As a caller has it: the residual's own return value, over the same memory.
        return fun(x, *args) if given else None

    if tool == "SparseJacobian":
        with SparseJacobian(fun, band(SIZE), method=method, args=args, workers=workers) as jac:
            found = [jac(x, f0=f0(x)) for x in points]
    else:
        sparsity = band(SIZE) if tool == "estimate_jacobian" else None
        found = [estimate_jacobian(fun, x, method, f0=f0(x), sparsity=sparsity, args=args,
                                   workers=workers) for x in points]
    for x, jacobian in zip(points, found):
        assert error(jacobian, x) < 1e-6


_SUM = np.empty(1, dtype=np.complex128)


def filled_sum_of_squares(x):
    """One value, in the same complex array on every call."""
    _SUM[0] = np.sum(x**2)
    return _SUM


@pytest.mark.parametrize("tool", ["SparseJacobian", "estimate_jacobian"])
@pytest.mark.parametrize("n", [2, 7])
def test_complex_step_of_a_single_residual_in_one_buffer(tool, n):
    # With one row, the imaginary part of a result is a contiguous view of the buffer itself:
    # nothing copies it by the way.
    x = np.linspace(0.5, 2.0, n)
    pattern = np.ones((1, n), dtype=bool)
    if tool == "SparseJacobian":
        jacobian = SparseJacobian(filled_sum_of_squares, pattern, method="cs", output="dense")(x)
    else:
        jacobian = estimate_jacobian(filled_sum_of_squares, x, "cs", sparsity=pattern,
                                     output="dense")
    np.testing.assert_allclose(jacobian, 2.0 * x[None, :], rtol=1e-13)


def narrow_residual(x):
    return (x**2 - 1.0).astype(np.float32)


@pytest.mark.parametrize("tool", ["SparseJacobian", "estimate_jacobian"])
@pytest.mark.parametrize("method, given", [("3-point", False), ("3-point", True),
                                           ("2-point", False)])
def test_a_float32_residual_is_differenced_with_float32_steps(tool, method, given):
    # SciPy takes steps for float32 values; float64 steps drown the difference in rounding.
    points = [np.linspace(0.5, 3.0, 10), np.linspace(-2.0, 4.0, 10)]
    pattern = np.eye(10, dtype=bool)
    jac = SparseJacobian(narrow_residual, pattern, method=method, output="dense")
    for x in points:  # the second call, too, once the residual's type has been seen
        f0 = narrow_residual(x) if given else None
        if tool == "SparseJacobian":
            jacobian = jac(x, f0=f0)
        else:
            jacobian = estimate_jacobian(narrow_residual, x, method, f0=f0, sparsity=pattern,
                                         output="dense")
        reference = approx_derivative(narrow_residual, x, method=method)
        ours, scipys = (float(np.abs(j - np.diag(2.0 * x)).max()) for j in (jacobian, reference))
        assert ours <= 10.0 * scipys + 1e-12, (ours, scipys)


@pytest.mark.parametrize("n, method", [(SIZE, "2-point"), (LARGE, "3-point")])
def test_a_residual_that_calls_its_own_sparse_jacobian(n, method):
    x = np.linspace(0.5, 2.0, n)
    inner = []

    def fun(point):
        if not inner:  # the first evaluation asks for a Jacobian itself
            inner.append(point.copy())
            inner.append(jac(inner[0]))
        return bidiagonal(point)

    jac = SparseJacobian(fun, band(n), method=method)
    outcome = finished(jac, x)
    if "error" in outcome:
        # Refusing is allowed, with a RuntimeError that says why; SystemError is not.
        assert isinstance(outcome["error"], RuntimeError) and str(outcome["error"])
    else:
        assert error(outcome["value"], x) < 1e-6
        assert error(inner[1], inner[0]) < 1e-6
    # Either way the object is still of use.
    later = finished(jac, 1.5 * x)
    assert "error" not in later, later.get("error")
    assert error(later["value"], 1.5 * x) < 1e-6


FORK_WHILE_INSIDE = """
import os, signal, sys, threading, traceback
import numpy as np
sys.path.insert(0, {tests!r})
from test_runtime_faults import band, bidiagonal, error
from vendrel.jacobian import SparseJacobian

inside, release = threading.Event(), threading.Event()

def fun(x):
    if threading.current_thread() is not threading.main_thread():
        inside.set()
        release.wait(60)
    return bidiagonal(x)

x = np.linspace(0.5, 2.0, {n})
jac = SparseJacobian(fun, band({n}))
busy = threading.Thread(target=jac, args=(x,), daemon=True)
busy.start()
assert inside.wait(60)
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # the child ends even if its call never returns
    try:
        os._exit(0 if error(jac(x), x) < 1e-6 else 3)
    except BaseException:
        traceback.print_exc()
        os._exit(4)
release.set()
busy.join(60)
_, status = os.waitpid(pid, 0)
print("child", -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status))
print("parent", not busy.is_alive())
"""


@needs_fork
@pytest.mark.parametrize("n", [SIZE, LARGE])
def test_a_child_forked_while_another_thread_is_inside_a_call(n):
    done = run_python(FORK_WHILE_INSIDE.format(tests=str(TESTS), n=n))
    assert done.stdout.split("\n")[:2] == ["child 0", "parent True"], done.stderr


FORK_AFTER_POOL = """
import multiprocessing, os, signal, sys, threading, traceback
import numpy as np
sys.path.insert(0, {tests!r})
from test_runtime_faults import band, bidiagonal, error
from vendrel.jacobian import SparseJacobian

x = np.linspace(0.5, 2.0, 40)
jac = SparseJacobian(bidiagonal, band(40), method="{method}", workers=2)
assert error(jac(x), x) < 1e-6
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # the child ends even if its call never returns
    try:
        code = 0 if error(jac(1.5 * x), 1.5 * x) < 1e-6 else 3
        jac.close()
        os._exit(code)
    except BaseException:
        traceback.print_exc()
        os._exit(4)
_, status = os.waitpid(pid, 0)
print("child", -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status))
print("parent", error(jac(2.0 * x), 2.0 * x) < 1e-6)
closing = threading.Thread(target=jac.close, daemon=True)
closing.start()
closing.join(60)
print("closed", not closing.is_alive())
for leftover in multiprocessing.active_children():  # so that no worker outlives the test
    leftover.kill()
"""


@needs_fork
@pytest.mark.parametrize("method", ["2-point", "3-point"])
def test_a_child_forked_after_the_process_pool_ran(method):
    done = run_python(FORK_AFTER_POOL.format(tests=str(TESTS), method=method))
    assert done.stdout.split("\n")[:3] == ["child 0", "parent True", "closed True"], done.stderr


def pickled(jac):
    return pickle.loads(pickle.dumps(jac))


@pytest.mark.parametrize("copier", [pickled, copy.deepcopy], ids=["pickle", "deepcopy"])
@pytest.mark.parametrize("workers", [None, 2])
def test_a_used_sparse_jacobian_copies(copier, workers):
    x = np.linspace(0.5, 2.0, 30)
    with SparseJacobian(bidiagonal, band(30), method="3-point", workers=workers) as jac:
        jac(x)
        with copier(jac) as twin:
            assert same(twin(2.0 * x), jac(2.0 * x))
            assert np.array_equal(twin.groups, jac.groups)


@pytest.mark.parametrize("n, method, rounds", [(40, "2-point", 50), (40, "3-point", 50),
                                               (LARGE, "2-point", 4)])
def test_threads_sharing_one_sparse_jacobian_get_the_serial_results(n, method, rounds):
    # The plan keeps work arrays and point buffers between calls: no call may see another's.
    threads = 4
    points = [np.linspace(0.5, 2.0, n) * (1.0 + 0.01 * k) for k in range(threads * rounds)]
    with SparseJacobian(bidiagonal, band(n), method=method) as jac:
        serial = [jac(x) for x in points]
        found = {}
        start = threading.Barrier(threads)

        def work(first):
            start.wait(JOIN)
            for k in range(first, len(points), threads):
                found[k] = jac(points[k])

        outcomes = []
        running = [threading.Thread(target=lambda t=t: outcomes.append(finished(work, t)))
                   for t in range(threads)]
        for thread in running:
            thread.start()
        for thread in running:
            thread.join(2 * JOIN)
            assert not thread.is_alive()
    assert [outcome.get("error") for outcome in outcomes] == [None] * threads
    assert sorted(found) == list(range(len(points)))
    assert all(same(found[k], serial[k]) for k in range(len(points)))


def _runtime(name):
    # The helper-thread passes have moved between modules; wherever they are now.
    for module in ("vendrel._runtime", "vendrel._passes", "vendrel._grouping"):
        try:
            found = importlib.import_module(module)
        except ImportError:
            continue
        if hasattr(found, name):
            return getattr(found, name)
    raise AssertionError("no runtime module has %s" % name)


def _wait_together(pending, both, results, k):
    def wait():
        both.wait(JOIN)
        return pending.wait()

    results[k] = finished(wait)


@pytest.mark.parametrize("equal", [True, False])
def test_two_threads_waiting_for_one_pending(equal):
    start_same_indices = _runtime("start_same_indices")
    a = np.arange(2**20, dtype=np.int64)
    b = a.copy()
    if not equal:
        b[-1] += 1
    for _ in range(50):  # the second waiter must arrive while the first is still waiting
        pending = start_same_indices(a, b)
        both = threading.Barrier(2)
        results = [None, None]
        waiters = [threading.Thread(target=_wait_together, args=(pending, both, results, k))
                   for k in range(2)]
        for waiter in waiters:
            waiter.start()
        for waiter in waiters:
            waiter.join(2 * JOIN)
            assert not waiter.is_alive()
        # Both have the answer, or the second is told plainly that it came too late.
        answers = [outcome.get("value") for outcome in results if "error" not in outcome]
        refusals = [outcome["error"] for outcome in results if "error" in outcome]
        assert answers and all(answer is equal for answer in answers), results
        assert all(isinstance(refusal, RuntimeError) and str(refusal) for refusal in refusals), \
            refusals
