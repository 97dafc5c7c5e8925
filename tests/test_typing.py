"""The installed package's type information: mypy --strict on the examples and typed clients,
and the mistakes it must report."""

import re
import subprocess
import sys

import pytest

from conftest import REPO

TYPING = REPO / "tests" / "typing"
MARKER = re.compile(r"#\s*error:\s*([\w-]+)\s*$")


def scipy_stubs_installed():
    from importlib.metadata import PackageNotFoundError, version

    try:
        version("scipy-stubs")
    except PackageNotFoundError:
        return False
    return True


# scipy-stubs needs Python 3.10; without it, files that use SciPy's types cannot be checked.
needs_scipy_stubs = pytest.mark.skipif(
    not scipy_stubs_installed(), reason="scipy-stubs is not installed (it needs Python 3.10+)")


# Checked files that need no type information from SciPy; the others need scipy-stubs.
PLAIN = [REPO / "examples" / "jacobian_estimate.py", TYPING / "subclass_typed.py",
         TYPING / "solver_misuse.py"]
WITH_SCIPY = [TYPING / "engine_typed.py", TYPING / "engine_misuse.py",
              REPO / "examples" / "bratu_newton.py", TYPING / "dropins_typed.py"]


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy --strict's errors, as {file name: {(line, code)}}, and its whole output; one run
    for all files, since most of its time goes to reading NumPy's and SciPy's stubs."""
    pytest.importorskip("mypy")
    files = PLAIN + (WITH_SCIPY if scipy_stubs_installed() else [])
    # Run from elsewhere, so that the installed package (stubs, py.typed) is what is checked.
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--show-error-codes", "--config-file", str(REPO / "pyproject.toml"),
                           *map(str, files)],
                          cwd=str(tmp_path_factory.mktemp("mypy")), capture_output=True, text=True)
    output = done.stdout + done.stderr
    assert done.returncode in (0, 1), output  # 2: mypy itself failed
    errors = {path.name: set() for path in files}
    lines = [line for line in done.stdout.splitlines() if ": error: " in line]
    for line in lines:
        where = re.match(r"^(?:.*[/\\])?([^/\\]+):(\d+): error: .*\[([\w-]+)\]$", line)
        assert where, output  # every error names its file, line and code
        errors.setdefault(where.group(1), set()).add((int(where.group(2)), where.group(3)))
    return errors, output


@pytest.mark.parametrize("name", [
    "jacobian_estimate.py",
    "subclass_typed.py",
    pytest.param("engine_typed.py", marks=needs_scipy_stubs),
    pytest.param("bratu_newton.py", marks=needs_scipy_stubs),
    pytest.param("dropins_typed.py", marks=needs_scipy_stubs),
])
def test_mypy_strict_passes(mypy_errors, name):
    errors, output = mypy_errors
    assert errors[name] == set(), output


def expected_errors(path):
    """(line, code) for every line marked ``# error: <code>``."""
    found = set()
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        marker = MARKER.search(line)
        if marker:
            found.add((number, marker.group(1)))
    return found


@pytest.mark.parametrize("name", [
    "solver_misuse.py",
    pytest.param("engine_misuse.py", marks=needs_scipy_stubs),
])
def test_mypy_reports_each_mistake(mypy_errors, name):
    expected = expected_errors(TYPING / name)
    assert expected, "no marked lines in %s" % name
    errors, output = mypy_errors
    assert errors[name] == expected, output


def test_mypy_reports_no_other_file(mypy_errors):
    errors, output = mypy_errors
    assert set(errors) <= {path.name for path in PLAIN + WITH_SCIPY}, output


def test_stub_matches_the_class():
    import vendrel.sparse_solver as module

    stub = (REPO / "src" / "vendrel" / "sparse_solver.pyi").read_text()
    for name in ("compute_residuals", "compute_pattern", "find_groups"):
        assert "def %s(" % name in stub and hasattr(module.SparseSolver, name)
