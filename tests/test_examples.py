"""The scripts in examples/ run and print what they promise."""

import re
import subprocess
import sys

import pytest

from conftest import REPO

EXAMPLES = REPO / "examples"


@pytest.mark.skipif(not EXAMPLES.exists(), reason="needs the source tree")
def test_bratu_newton_converges_with_five_evaluations_per_jacobian():
    done = subprocess.run([sys.executable, str(EXAMPLES / "bratu_newton.py"), "40"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    steps = int(re.search(r"Newton steps: +(\d+)", done.stdout).group(1))
    assert 2 <= steps <= 6
    # f(x) is given to each Jacobian, so each costs one evaluation per group: five.
    assert "residual evaluations: %d for %d Jacobians (dense differences: %d)" \
        % (5 * steps, steps, steps * 1601) in done.stdout
    assert float(re.search(r"max u: +(\S+)", done.stdout).group(1)) == pytest.approx(0.796, abs=2e-3)


@pytest.mark.skipif(not EXAMPLES.exists(), reason="needs the source tree")
def test_jacobian_estimate_runs():
    done = subprocess.run([sys.executable, str(EXAMPLES / "jacobian_estimate.py")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "unknowns: 50" in done.stdout and "nonzeros: 148" in done.stdout


@pytest.mark.skipif(not EXAMPLES.exists(), reason="needs the source tree")
def test_driven_cavity_fails_with_newton_and_is_solved_by_ptc():
    done = subprocess.run([sys.executable, str(EXAMPLES / "driven_cavity.py"), "20"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "driven cavity, 20 x 20 grid, Reynolds number 1000: 400 unknowns"
    assert lines[1].split()[:2] == ["line_search", "failed"]
    assert lines[1].endswith("the line search found no step that decreases ||F||, also with "
                             "a new Jacobian")
    assert lines[2].split()[:2] == ["ptc", "solved"] and lines[2].endswith("max|F| fell to ftol")


@pytest.mark.skipif(not EXAMPLES.exists(), reason="needs the source tree")
def test_minimal_surface_spends_few_gradients_per_hessian():
    done = subprocess.run([sys.executable, str(EXAMPLES / "minimal_surface.py"), "30"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    colours = int(re.search(r"star colours: (\d+)", done.stdout).group(1))
    steps, made = (int(v) for v in re.search(
        r"Newton steps: (\d+), gradient evaluations: \d+ \(SparseHessian made (\d+)\)",
        done.stdout).groups())
    assert colours <= 7 and made <= steps * (colours + 1)
    ours = float(re.search(r"area: (\S+),", done.stdout).group(1))
    plain = float(re.search(r"without a Hessian: \d+ gradient evaluations, area (\S+)",
                            done.stdout).group(1))
    assert ours == pytest.approx(plain, rel=1e-6)
