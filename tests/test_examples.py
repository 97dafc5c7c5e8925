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
