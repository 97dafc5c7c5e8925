"""The demonstration's picture: the pattern with each column coloured by its group."""

import numpy as np
import pytest

from conftest import run_python


def test_plot_is_written(tmp_path):
    image = pytest.importorskip("matplotlib.image")
    path = tmp_path / "pattern.png"
    done = run_python("import sys; from vendrel.__main__ import main; sys.exit(main(['--plot', %r]))"
                      % str(path))
    assert done.returncode == 0, done.stderr
    assert "  picture:                        %s\n" % path in done.stdout
    pixels = image.imread(str(path))
    assert pixels.shape[:2] == (600, 600)
    colours = {tuple(np.round(p, 2)) for p in pixels.reshape(-1, pixels.shape[2])[:, :3]}
    # White, black text and axes, and at least three group colours (with their edges).
    assert len(colours) > 5
    saturated = {tuple(np.round(c, 1)) for c in colours if max(c) - min(c) > 0.2}
    assert len(saturated) >= 3


def test_plot_without_matplotlib_says_what_to_install(tmp_path):
    done = run_python("import sys; sys.modules['matplotlib'] = None\n"
                      "from vendrel.__main__ import main; sys.exit(main(['--plot', 'x.png']))")
    assert done.returncode == 2
    assert "pip install 'vendrel[plot]'" in done.stderr
