"""Importing the module: its attributes, the module-body imports and start-up failures."""

import builtins
import importlib
import sys

import numpy
import pytest
import scipy

from conftest import SOURCE_FILE, run_python

INIT = "init vendrel.sparse_solver"


def test_module_attributes(sparse_solver):
    assert sparse_solver.np is numpy
    assert sparse_solver.scipy is scipy
    assert "scipy.linalg" in sys.modules
    assert sparse_solver.__test__ == {}
    assert sparse_solver.__builtins__ is builtins
    assert isinstance(sparse_solver.SparseSolver, type)
    import test.test_os as test_os  # the interpreter's own test package

    assert sparse_solver.groups == getattr(test_os, "groups", [])


def test_second_import_returns_the_same_module(sparse_solver):
    assert importlib.import_module("vendrel.sparse_solver") is sparse_solver
    assert sys.modules["vendrel.sparse_solver"] is sparse_solver


def test_import_is_quiet_with_warnings_as_errors():
    result = run_python("import vendrel.sparse_solver", "-W", "error")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


# Each case prepares the interpreter, imports the module and prints what it saw, or the
# failure: type, message, and the module's traceback entries as (function, line, file).
FAILURE_PROBE = """
import sys, traceback
{prepare}
try:
    import vendrel.sparse_solver as m
except BaseException as e:
    entries = []
    for frame, line in traceback.walk_tb(e.__traceback__):
        name = frame.f_code.co_name
        if name.startswith("init vendrel.sparse_solver"):
            entries.append((name, line, frame.f_code.co_filename))
    print(repr((type(e).__name__, str(e), entries)))
    try:
        import vendrel.sparse_solver
        print("second import: succeeded")
    except BaseException as e2:
        print("second import:", type(e2).__name__)
else:
    print(repr(("ok", {show})))
"""


def probe(prepare, show="None", *args):
    result = run_python(FAILURE_PROBE.format(prepare=prepare, show=show), *args)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@pytest.mark.parametrize(
    "prepare, kind, message, line, file",
    [
        ("sys.modules['scipy.linalg'] = None", "ModuleNotFoundError",
         "import of scipy.linalg halted; None in sys.modules", 11, SOURCE_FILE),
        ("import numpy; numpy.ndarray = 42", "TypeError",
         "numpy.ndarray is not a type object", 181, "__init__"),
        ("import numpy\nclass Small: __slots__ = ()\nnumpy.ufunc = Small", "ValueError",
         "numpy.ufunc has the wrong size, try recompiling", 861, "__init__"),
        ("import builtins; del builtins.enumerate", "NameError",
         "name 'enumerate' is not defined", 1, SOURCE_FILE),
        ("import warnings, numpy, scipy.linalg\nwarnings.simplefilter('error')\n"
         "class Big: __slots__ = tuple('s%d' % i for i in range(40))\nnumpy.ndarray = Big",
         "RuntimeWarning", "numpy.ndarray size changed, may indicate binary incompatibility",
         181, "__init__"),
    ],
)
def test_start_up_failure(prepare, kind, message, line, file):
    outcome, second = probe(prepare)
    found_kind, found_message, entries = eval(outcome)
    assert (found_kind, found_message) == (kind, message)
    assert len(entries) == 1
    name, found_line, found_file = entries[0]
    assert name.startswith(INIT + " (" + SOURCE_FILE + ":")
    assert (found_line, found_file) == (line, file)
    # The half-made module is not left behind for a later import to find.
    assert second == "second import: " + kind


# NumPy's filters hide its size warnings in a plain interpreter; "always" shows any there is.
SIZE_PROBE = """
import warnings, numpy, scipy.linalg
object_size = object.__basicsize__
real = {{name: getattr(numpy, name) for name in ("dtype", "flatiter", "broadcast", "ndarray", "ufunc")}}
for name, kind in real.items():
    # A stand-in {change:+d} pointers larger than the running NumPy's structure.
    slots = (kind.__basicsize__ - object_size) // 8 + {change}
    setattr(numpy, name, type(name, (), {{"__slots__": tuple("s%d" % i for i in range(slots))}}))
warnings.simplefilter("always")
with warnings.catch_warnings(record=True) as seen:
    try:
        import vendrel.sparse_solver
        outcome = "ok"
    except ValueError as error:
        outcome = str(error)
print(repr((outcome, [str(w.message) for w in seen if "size" in str(w.message)])))
"""


def test_import_shows_no_size_warning_on_the_running_numpy():
    code = "import warnings, numpy\nwarnings.simplefilter('always')\nimport vendrel.sparse_solver"
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert "size changed" not in result.stderr, result.stderr


@pytest.mark.parametrize("change, outcome, warned", [
    # The expected sizes are exactly those of the NumPy that runs...
    (0, "ok", []),
    # ...so a structure grown beyond them warns, each in turn...
    (1, "ok", ["numpy.%s size changed, may indicate binary incompatibility" % name
               for name in ("dtype", "flatiter", "broadcast", "ndarray", "ufunc")]),
    # ...and a smaller one fails the import at the first.
    (-1, "numpy.dtype has the wrong size, try recompiling", []),
])
def test_expected_sizes_follow_the_running_numpy(change, outcome, warned):
    result = run_python(SIZE_PROBE.format(change=change))
    assert result.returncode == 0, result.stderr
    assert eval(result.stdout) == (outcome, warned)


def test_larger_foreign_type_only_warns():
    prepare = (
        "import warnings, numpy, scipy.linalg\n"
        "class Big: __slots__ = tuple('s%d' % i for i in range(40))\n"
        "real = numpy.ndarray; numpy.ndarray = Big\n"
        "caught = warnings.catch_warnings(record=True); seen = caught.__enter__()\n"
        "warnings.simplefilter('always')"
    )
    show = "[str(w.message) for w in seen if 'ndarray size changed' in str(w.message)]"
    (outcome,) = probe(prepare, show)[:1]
    assert eval(outcome) == ("ok", ["numpy.ndarray size changed, may indicate binary incompatibility"])


@pytest.mark.parametrize(
    "prepare, show, expected",
    [
        # No test package at all, or one without `groups`: an empty list stands in.
        ("sys.modules['test.test_os'] = None", "m.groups", []),
        ("import types; fake = types.ModuleType('test.test_os'); fake.groups = ('g',)\n"
         "sys.modules['test.test_os'] = fake", "m.groups", ("g",)),
    ],
)
def test_groups_binding(prepare, show, expected):
    assert eval(probe(prepare, show)[0]) == ("ok", expected)


def test_groups_import_passes_on_other_errors():
    prepare = (
        "import types\n"
        "class Odd(types.ModuleType):\n"
        "    def __getattr__(self, name):\n"
        "        raise (RuntimeError if name == 'groups' else AttributeError)('odd ' + name)\n"
        "sys.modules['test.test_os'] = Odd('test.test_os')"
    )
    kind, message, entries = eval(probe(prepare)[0])
    assert (kind, message) == ("RuntimeError", "odd groups")
    assert [(line, file) for _, line, file in entries] == [(12, SOURCE_FILE)]


@pytest.fixture
def package_extra(tmp_path):
    """A folder added to vendrel's package path, to hold extra submodules."""
    return tmp_path


def test_package_submodule_shadows_absolute_import(package_extra):
    (package_extra / "numpy.py").write_text("from numpy import *\nfrom numpy import ndarray\nSHADOW = True\n")
    prepare = f"import vendrel; vendrel.__path__.append({str(package_extra)!r})"
    assert eval(probe(prepare, "(m.np.__name__, m.np.SHADOW)")[0]) == ("ok", ("vendrel.numpy", True))


def test_package_submodule_errors_are_not_swallowed(package_extra):
    (package_extra / "numpy.py").write_text("raise RuntimeError('broken shadow')\n")
    prepare = f"import vendrel; vendrel.__path__.append({str(package_extra)!r})"
    kind, message, entries = eval(probe(prepare)[0])
    assert (kind, message) == ("RuntimeError", "broken shadow")
    assert [(line, file) for _, line, file in entries] == [(10, SOURCE_FILE)]


def test_methods_of_a_half_started_module_report_the_missing_array_type():
    # Start-up fails while binding numpy.ndarray, after the class is ready; the class is
    # still reachable as a subclass of object, and its argument test says what is missing.
    code = FAILURE_PROBE.format(prepare="import numpy; numpy.ndarray = 42", show=None) + """
import numpy
(solver_type,) = [c for c in object.__subclasses__() if c.__name__ == "SparseSolver"]
try:
    solver_type().compute_residuals(numpy.zeros(1))
except SystemError as error:
    print("missing:", error)
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "missing: Missing type object"
