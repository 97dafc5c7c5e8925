"""The pictures: the pattern coloured by group (entries, or blocks past one entry per pixel), the
groups per order, the demonstration's picture, and what happens without matplotlib."""

import numpy as np
import pytest
import scipy.sparse

from conftest import run_python

pytest.importorskip("matplotlib")
image = pytest.importorskip("matplotlib.image")

from vendrel import grouping  # noqa: E402
from vendrel.plot import palette, plot_groups, plot_orders, plot_pattern  # noqa: E402


def grid(side):
    """The five-point Laplacian's pattern on a side x side grid, as CSR."""
    line = scipy.sparse.diags([1, 1, 1], [-1, 0, 1], shape=(side, side), dtype=np.int8)
    return scipy.sparse.kronsum(line, line, format="csr")


def band(n):
    return np.abs(np.subtract.outer(np.arange(n), np.arange(n))) <= 1


def drawn(figure):
    """The image of the pattern's axes, as RGB floats."""
    return np.asarray(figure.axes[0].images[0].get_array(), dtype=float)


def expected_legend(groups):
    """Group and columns, for up to 18 groups; past that, 17 and a line for the rest."""
    sizes = np.bincount(groups)
    if len(sizes) <= 18:
        return ["%d: %d" % (k, size) for k, size in enumerate(sizes)]
    return ["%d: %d" % (k, size) for k, size in enumerate(sizes[:17])] + [
        "%d more: %d" % (len(sizes) - 17, sizes[17:].sum())]


def legend_texts(figure):
    legend = figure.axes[0].get_legend()
    assert legend is not None
    return [text.get_text() for text in legend.get_texts()]


@pytest.mark.parametrize("pixels", [300, 600, 1000])
def test_the_picture_has_the_size_asked_for(tmp_path, pixels):
    path = tmp_path / "pattern.png"
    plot_pattern(grid(30), path=path, max_pixels=pixels)
    assert image.imread(str(path)).shape[:2] == (pixels, pixels)


def test_each_entry_is_a_square_in_its_groups_colour():
    groups = np.array([0, 1, 2, 0, 1, 2, 0, 1])
    figure = plot_pattern(band(8), groups)
    pixels = drawn(figure)
    assert pixels.shape == (8, 8, 3)
    expected = np.ones((8, 8, 3))
    rows, cols = np.nonzero(band(8))
    expected[rows, cols] = palette(3)[groups[cols]]
    np.testing.assert_allclose(pixels, expected)
    assert legend_texts(figure) == ["0: 3", "1: 3", "2: 2"]
    assert figure.axes[0].get_legend().get_title().get_text() == "group: number of columns"


def test_groups_default_to_group_columns():
    pattern = grid(6)
    groups = grouping.group_columns(pattern)
    assert legend_texts(plot_pattern(pattern)) == expected_legend(groups)


@pytest.mark.parametrize("pattern", [grid(30), grid(100), scipy.sparse.random(
    50, 2000, density=0.005, format="csr", random_state=1)], ids=["grid 30", "grid 100", "wide"])
def test_past_a_pixel_per_entry_blocks_take_their_main_groups_colour(tmp_path, pattern):
    m, n = pattern.shape
    groups = grouping.group_columns(pattern)
    count = int(groups.max()) + 1
    path = tmp_path / "pattern.png"
    figure = plot_pattern(pattern, path=path)
    pixels = drawn(figure)
    height, width = pixels.shape[:2]
    block_rows, block_cols = -(-m // height), -(-n // width)
    assert block_rows * block_cols > 1 and height <= 600 and width <= 600
    if m == n:
        assert block_rows == block_cols
    # Which groups have entries in each block.
    coo = pattern.tocoo()
    cell = (coo.row // block_rows) * width + coo.col // block_cols
    present = np.zeros((height * width, count), dtype=bool)
    present[cell, groups[coo.col]] = True
    flat = pixels.reshape(-1, 3)
    occupied = present.any(axis=1)
    # Not a blur: exactly the blocks with entries are coloured.
    np.testing.assert_array_equal((flat < 1.0).any(axis=1), occupied)
    # Each is white blended with one group's colour, a group with entries in that block.
    towards = 1.0 - flat[occupied]
    full = 1.0 - palette(count)
    shade = towards @ full.T / np.sum(full * full, axis=1)
    misfit = np.linalg.norm(towards[:, None, :] - shade[:, :, None] * full[None], axis=2)
    fits = (misfit < 1e-9) & (shade > 0.29) & (shade < 1.0 + 1e-9)
    assert (fits & present[occupied]).any(axis=1).all()
    # Every group is the main one somewhere, and the legend names them all.
    assert len(np.unique(np.argmin(misfit, axis=1))) == count
    assert legend_texts(figure) == expected_legend(groups)
    assert "cells of %d x %d entries" % (block_rows, block_cols) in figure.axes[0].get_title()
    # The saved picture shows the group colours too.
    saved = image.imread(str(path))[:, :, :3].reshape(-1, 3)
    colours = {tuple(c) for c in np.round(saved, 2) if c.max() - c.min() > 0.2}
    assert len(colours) >= count


def test_a_legend_of_many_groups_sums_up_the_rest():
    figure = plot_pattern(np.ones((2, 30), dtype=bool))
    assert legend_texts(figure) == ["%d: 1" % k for k in range(17)] + ["13 more: 13"]


@pytest.mark.parametrize("count", [3, 10, 20, 60, 150])
def test_the_palette_gives_distinct_colours(count):
    colours = palette(count)
    assert colours.shape == (count, 3)
    assert len(np.unique(np.round(colours, 3), axis=0)) == count
    assert ((colours >= 0) & (colours <= 1)).all()


@pytest.mark.parametrize("groups, message", [
    (np.zeros(7, dtype=int), "groups has 7 entries; the pattern has 8 columns"),
    (np.zeros(8), "groups must be a group number per column"),
    (np.full(8, -1), "groups must be >= 0; groups[0] is -1"),
])
def test_groups_that_do_not_fit_are_refused(groups, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        plot_pattern(band(8), groups)


def test_plot_groups_colours_columns_by_position_lists(tmp_path):
    rows, cols = np.array([0, 0, 1, 1, 2]), np.array([0, 1, 1, 2, 2])
    path = tmp_path / "groups.png"
    plot_groups(rows, cols, [np.array([0, 3, 4]), np.array([1, 2])], (4, 4), path)
    saved = image.imread(str(path))[:, :, :3]
    assert saved.shape[:2] == (600, 600)
    # Column 0 and 2 in the first colour, column 1 in the second, drawn as large squares.
    for colour in palette(2):
        assert (np.abs(saved - colour).max(axis=2) < 0.01).sum() > 1000


def test_plot_orders_compares_every_order_with_the_bound_and_scipy(tmp_path):
    from scipy.optimize._numdiff import group_columns as scipy_group_columns

    pattern = grid(12)
    path = tmp_path / "orders.png"
    figure = plot_orders(pattern, path, seed=3)
    axes = figure.axes[0]
    expected = [int(grouping.group_columns(pattern, order, seed=3).max()) + 1
                for order in grouping.ORDERS]
    expected.append(int(scipy_group_columns(pattern).max()) + 1)
    assert [bar.get_height() for bar in axes.patches] == expected
    assert [label.get_text() for label in axes.get_xticklabels()] == \
        [*grouping.ORDERS, "SciPy's default"]
    bound = grouping.lower_bound(pattern)
    assert [tuple(line.get_ydata()) for line in axes.get_lines()] == [(bound, bound)]
    assert [text.get_text() for text in axes.get_legend().get_texts()] == [
        "lower bound: %d" % bound, "vendrel.grouping, by order", "SciPy's group_columns"]
    assert [text.get_text() for text in axes.texts] == [str(v) for v in expected]
    assert image.imread(str(path)).shape[:2] == (400, 600)


def test_a_sparse_jacobian_draws_its_plan(tmp_path):
    from vendrel.jacobian import SparseJacobian

    def fun(x):
        return x[:3] ** 2 - x[1:4]

    # An index pair reaches column 2 only; the first call shows the plan has four columns.
    jacobian = SparseJacobian(fun, (np.array([0, 0, 1, 1, 2]), np.array([0, 1, 1, 2, 2])))
    jacobian(np.ones(4))
    path = tmp_path / "plan.png"
    figure = jacobian.plot(path)
    assert image.imread(str(path)).shape[:2] == (600, 600)
    assert figure.axes[0].get_xlim() == (-0.5, 3.5)
    assert legend_texts(figure) == expected_legend(jacobian.groups)


def test_docstring_examples_run():
    import doctest

    import vendrel.plot

    failures, tried = doctest.testmod(vendrel.plot)
    assert tried >= 4 and failures == 0


def test_drawing_leaves_the_backend_and_pyplot_alone():
    done = run_python("""
        import sys, matplotlib
        matplotlib.use("pdf")
        from vendrel.plot import plot_pattern
        plot_pattern([[1, 1], [0, 1]])
        print(matplotlib.get_backend(), "matplotlib.pyplot" in sys.modules)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "pdf False\n"


@pytest.mark.parametrize("call", [
    "from vendrel.plot import plot_pattern; plot_pattern([[1]])",
    "from vendrel.jacobian import SparseJacobian; SparseJacobian(abs, [[1]]).plot()",
])
def test_without_matplotlib_the_error_says_what_to_install(call):
    done = run_python("import sys; sys.modules['matplotlib'] = None\n" + call)
    assert done.returncode == 1
    assert done.stderr.rstrip().endswith(
        'ImportError: drawing needs matplotlib: pip install "vendrel[plot]"')


def test_the_demonstration_draws_both_pictures(tmp_path):
    path = tmp_path / "pattern.png"
    done = run_python("import sys; from vendrel.__main__ import main; "
                      "sys.exit(main(['--plot', %r, '--n', '900', '--quiet']))" % str(path))
    assert done.returncode == 0, done.stderr
    orders = tmp_path / "pattern-orders.png"
    assert str(path) in done.stdout and str(orders) in done.stdout
    for picture, shape in ((path, (600, 600)), (orders, (400, 600))):
        pixels = image.imread(str(picture))[:, :, :3].reshape(-1, 3)
        assert pixels.shape[0] == shape[0] * shape[1]
        saturated = {tuple(c) for c in np.round(pixels, 1) if c.max() - c.min() > 0.2}
        assert len(saturated) >= 2


def test_plot_without_matplotlib_says_what_to_install(tmp_path):
    done = run_python("import sys; sys.modules['matplotlib'] = None\n"
                      "from vendrel.__main__ import main; sys.exit(main(['--plot', 'x.png']))")
    assert done.returncode == 2
    assert "pip install 'vendrel[plot]'" in done.stderr
