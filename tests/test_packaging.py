"""The package builds as an sdist and a wheel, and the wheel works on its own."""

import shutil
import subprocess
import sys
import venv

import pytest

from conftest import REPO


@pytest.mark.slow  # builds an sdist and a wheel, and installs the wheel in a new environment
@pytest.mark.skipif(not (REPO / "pyproject.toml").exists(), reason="needs the source tree")
def test_wheel_installs_and_works_outside_the_source_tree(tmp_path):
    pytest.importorskip("build")
    dist = tmp_path / "dist"
    built = subprocess.run([sys.executable, "-m", "build", "--outdir", str(dist), str(REPO)],
                           capture_output=True, text=True)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1 and len(list(dist.glob("*.tar.gz"))) == 1
    names = subprocess.run([sys.executable, "-m", "zipfile", "-l", str(wheels[0])],
                           capture_output=True, text=True).stdout
    for shipped in ("sparse_solver.pyi", "py.typed", "sparse_solver.pxd", "sparse_solver.h",
                    "__init__.pxd", "jacobian.py", "_steps.py", "_linear.py", "_evaluation.py",
                    "_differences.py", "_detection.py", "_runtime.py"):
        assert "vendrel/" + shipped in names
    for module in ("_grouping", "_passes", "_linalg"):
        assert "vendrel/%s." % module in names

    environment = tmp_path / "venv"
    venv.create(environment, with_pip=True)
    python = environment / ("Scripts/python.exe" if sys.platform == "win32" else "bin/python")
    installed = subprocess.run([str(python), "-m", "pip", "install", "-q",
                                str(wheels[0]) + "[test]"], capture_output=True, text=True)
    assert installed.returncode == 0, installed.stderr[-3000:]
    tests = tmp_path / "copied_tests"
    shutil.copytree(REPO / "tests", tests)
    done = subprocess.run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "test_startup.py", "test_type.py", "test_pattern.py",
                           "test_grouping.py", "test_demo.py", "test_jacobian.py",
                           "test_column_grouping.py"],
                          cwd=tests, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:]
