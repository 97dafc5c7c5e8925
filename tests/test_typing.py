"""The installed package's type information: mypy --strict on the examples and a subclass."""

import subprocess
import sys

import pytest

from conftest import REPO


def test_mypy_strict_passes(tmp_path):
    pytest.importorskip("mypy")
    files = [REPO / "examples" / "jacobian_estimate.py", REPO / "tests" / "typing" / "subclass_typed.py"]
    # Run from elsewhere, so that the installed package (stubs, py.typed) is what is checked.
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--config-file", str(REPO / "pyproject.toml"), *map(str, files)],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_matches_the_class():
    import vendrel.sparse_solver as module

    stub = (REPO / "src" / "vendrel" / "sparse_solver.pyi").read_text()
    for name in ("compute_residuals", "compute_pattern", "find_groups"):
        assert "def %s(" % name in stub and hasattr(module.SparseSolver, name)
