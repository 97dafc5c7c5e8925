"""Pictures of a Jacobian's pattern and its column groups (needs matplotlib:
``pip install "vendrel[plot]"``).

`plot_pattern` draws the pattern with each column in the colour of its group; `plot_orders`
compares the number of groups each ordering of `vendrel.grouping` needs with the lower bound
and with SciPy's default.

Design: the pattern is rasterised here, to at most one cell per pixel of the picture, and shown
as an image at that resolution. A pattern larger than the picture is gathered into blocks of
entries, each coloured by its main group and paler where it holds fewer entries, so that a band
stays a band at any size instead of a blur of overlapping markers. The
figures are drawn on an Agg canvas of their own, not through pyplot: the backend a program has
chosen is left alone, and no figure stays open in pyplot's registry.
"""

import math
import os
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vendrel import grouping

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_groups", "plot_orders", "plot_pattern"]

PathLike = Union[str, "os.PathLike[str]"]

INSTALL_HINT = 'drawing needs matplotlib: pip install "vendrel[plot]"'

# Every size in a picture is a fraction of its side, so that it looks the same at any size:
# the figure is always this many inches square, and max_pixels sets the dots per inch.
_INCHES = 6.0
# The pattern's box, in figure fractions: room above for the title and the column numbers,
# below for the legend.
_PATTERN_BOX = (0.12, 0.15, 0.84, 0.7)
# Legend entries beyond these are summed up in one line.
_LEGEND_ROWS, _LEGEND_COLUMNS = 3, 6
# A pattern at least this many times longer one way than the other is not drawn to scale.
_MAX_ASPECT = 3.0
# Entries drawn at this many pixels or more get a white gap around them.
_GAP_PIXELS = 6.0
# A group holding at least 4/5 as many of a block's entries as its most frequent one ties.
_NEAR_TIE_NUMERATOR, _NEAR_TIE_DENOMINATOR = 4, 5
# Colours of blocks range from this much of the group's colour (sparsest) to all of it.
_PALEST = 0.3


def plot_pattern(sparsity: grouping.Sparsity, groups: Optional[npt.ArrayLike] = None,
                 path: Optional[PathLike] = None, *, title: Optional[str] = None,
                 max_pixels: int = 600) -> "Figure":
    """The pattern with each column in the colour of its group, and a legend of the groups.

    Parameters
    ----------
    sparsity : sparse matrix or array, array_like, or tuple
        The pattern, read by `vendrel.grouping.read_sparsity`'s rule; SciPy's
        ``(structure, groups)`` gives the groups too.
    groups : array_like of int, shape (n,), optional
        The group of each column. None groups the columns with
        ``vendrel.grouping.group_columns(sparsity)``.
    path : str or path-like, optional
        Where to save the picture (a PNG, unless the name says another format).
    title : str, optional
        Replaces the title, which by default gives the size, the entries and the groups.
    max_pixels : int, optional
        The picture's side in pixels.

    Returns
    -------
    figure : matplotlib.figure.Figure
        Drawn on its own Agg canvas; pyplot is not involved.

    Notes
    -----
    Up to one entry per pixel, each entry is a square. A larger pattern is gathered into
    square blocks of entries (rectangular when the pattern is far from square), each drawn
    in the colour of its main group, paler the fewer entries it holds; the title says the
    block size. The main group is the one with most of the block's entries; where others
    come within a fifth of it, a fixed pick among them that varies from block to block, so
    that evenly mixed groups show as a mosaic of their colours.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.plot import plot_pattern
    >>> band = np.abs(np.subtract.outer(np.arange(30), np.arange(30))) <= 1
    >>> figure = plot_pattern(band)
    >>> [t.get_text() for t in figure.axes[0].get_legend().get_texts()]
    ['0: 10', '1: 10', '2: 10']
    """
    read = grouping.read_sparsity(sparsity)
    if read.groups is not None:  # SciPy's (structure, groups)
        if groups is not None:
            raise ValueError("groups given twice: in sparsity=(structure, groups) and as groups=")
        groups = read.groups
    pattern = grouping.pattern_of(read)
    m, n = pattern.shape
    column_groups = _column_groups(pattern, groups)
    count = int(column_groups.max()) + 1 if n else 0
    colours = palette(count)
    figure = _figure(max_pixels, 1.0)
    axes = figure.add_axes(_PATTERN_BOX)
    block_rows, block_cols = _block_shape(m, n, max_pixels)
    image = raster(pattern, column_groups, colours, (block_rows, block_cols))
    axes.imshow(image, interpolation="nearest", aspect="auto",
                extent=(-0.5, image.shape[1] * block_cols - 0.5,
                        image.shape[0] * block_rows - 0.5, -0.5))
    if not _stretched(m, n):
        axes.set_aspect("equal")
    axes.set_xlim(-0.5, max(n, 1) - 0.5)
    axes.set_ylim(max(m, 1) - 0.5, -0.5)
    _label_axes(axes, m, n, max_pixels, block_rows * block_cols == 1)
    if title is None:
        title = _default_title(pattern, count, (block_rows, block_cols))
    axes.set_title(title, fontsize=10, pad=8)
    _legend(axes, column_groups, colours)
    _save(figure, path)
    return figure


def plot_orders(sparsity: grouping.Sparsity, path: Optional[PathLike] = None, *, seed: int = 0,
                max_pixels: int = 600) -> "Figure":
    """A bar chart of the groups each order of `vendrel.grouping.group_columns` needs, against
    the lower bound and against SciPy's ``group_columns`` with its default order.

    Parameters
    ----------
    sparsity : sparse matrix or array, array_like, or tuple (rows, cols)
        The pattern, in any form `vendrel.grouping.group_columns` takes.
    path : str or path-like, optional
        Where to save the picture (a PNG, unless the name says another format).
    seed : int, optional
        Seeds the ``"random"`` order and the local search of ``"best"``.
    max_pixels : int, optional
        The picture's width in pixels; its height is two thirds of it.

    Returns
    -------
    figure : matplotlib.figure.Figure
        Drawn on its own Agg canvas; pyplot is not involved.
    """
    pattern = grouping.as_pattern(sparsity)
    m, n = pattern.shape
    counts = [_group_count(grouping.group_columns(pattern, order, seed=seed))
              for order in grouping.ORDERS]
    reference = _group_count(_scipy_groups(pattern))
    bound = grouping.lower_bound(pattern)
    figure = _figure(max_pixels, 2.0 / 3.0)
    axes = figure.add_axes((0.1, 0.26, 0.86, 0.56))
    names = [*grouping.ORDERS, "SciPy's default"]
    positions = np.arange(len(names))
    colours = palette(2)
    axes.bar(positions[:-1], counts, color=colours[0], label="vendrel.grouping, by order")
    axes.bar(positions[-1:], [reference], color=colours[1], hatch="//",
             label="SciPy's group_columns")
    axes.axhline(bound, color="black", linestyle="--", linewidth=1,
                 label="lower bound: %d" % bound)
    for x, value in zip(positions, [*counts, reference]):
        axes.annotate(str(value), (x, value), xytext=(0, 2), textcoords="offset points",
                      ha="center", va="bottom", fontsize=8)
    axes.set_xticks(positions)
    axes.set_xticklabels(names, rotation=30, ha="right", fontsize=8)
    axes.set_ylim(0, max([*counts, reference, bound, 1]) * 1.2)
    axes.set_ylabel("groups (evaluations per Jacobian)", fontsize=9)
    axes.tick_params(axis="y", labelsize=8)
    figure.suptitle("Column groups by order, %d x %d pattern, %d entries"
                    % (m, n, pattern.nnz), fontsize=10, y=0.97)
    axes.legend(loc="lower center", bbox_to_anchor=(0.5, 1.01), ncol=3, fontsize=8,
                frameon=False)
    _save(figure, path)
    return figure


def plot_groups(rows: npt.ArrayLike, cols: npt.ArrayLike, groups: Sequence[npt.ArrayLike],
                shape: Tuple[int, int], path: PathLike) -> None:
    """Writes a 600 x 600 PNG of the pattern (rows, cols) of the given shape, columns coloured
    by group, as `plot_pattern` draws it.

    `groups` holds positions into rows and cols, as ``SparseSolver.find_groups`` returns them.
    """
    import scipy.sparse

    rows, cols = np.asarray(rows, dtype=np.intp), np.asarray(cols, dtype=np.intp)
    per_column = np.zeros(shape[1], dtype=np.intp)
    for k, positions in enumerate(groups):
        per_column[cols[np.asarray(positions, dtype=np.intp)]] = k
    pattern = scipy.sparse.coo_matrix((np.ones(len(rows), dtype=bool), (rows, cols)), shape=shape)
    plot_pattern(pattern, per_column, path)


def palette(count: int) -> npt.NDArray[np.float64]:
    """`count` RGB colours, as distinct as can be: matplotlib's qualitative tables for up to
    sixty, then evenly spread hues."""
    _require_matplotlib()
    from matplotlib import colormaps

    if count <= 10:
        tables = ["tab10"]
    elif count <= 20:
        tables = ["tab20"]
    else:
        tables = ["tab20", "tab20b", "tab20c"]
    colours = np.concatenate([colormaps[name](np.arange(colormaps[name].N))[:, :3]
                              for name in tables])
    if count > len(colours):
        from matplotlib.colors import hsv_to_rgb

        # Hues a golden angle apart, in three bands of brightness.
        k = np.arange(count - len(colours))
        hsv = np.stack([(k * 0.381966) % 1.0, np.full(len(k), 0.75), 0.95 - 0.25 * (k % 3)],
                       axis=1)
        colours = np.concatenate([colours, hsv_to_rgb(hsv)])
    return np.ascontiguousarray(colours[:count], dtype=np.float64)


def raster(pattern: Any, groups: npt.NDArray[np.intp], colours: npt.NDArray[np.float64],
           block: Tuple[int, int]) -> npt.NDArray[np.float64]:
    """An RGB image with one cell per block of entries of the CSC pattern: white where the
    block is empty, else the colour of its most frequent group, blended with white by the
    block's share of entries relative to the fullest block."""
    m, n = pattern.shape
    block_rows, block_cols = block
    height, width = max(1, -(-m // block_rows)), max(1, -(-n // block_cols))
    image = np.ones((height, width, 3))
    if pattern.nnz == 0:
        return image
    cols = np.repeat(np.arange(n, dtype=np.int64), np.diff(pattern.indptr))
    rows = pattern.indices.astype(np.int64)
    cell = (rows // block_rows) * width + cols // block_cols
    count = len(colours)
    tallies_key, tallies = np.unique(cell * count + groups[cols], return_counts=True)
    cells, owners = np.divmod(tallies_key, count)  # sorted by cell
    starts = np.flatnonzero(np.r_[True, cells[1:] != cells[:-1]])
    top = np.repeat(np.maximum.reduceat(tallies, starts), np.diff(np.r_[starts, len(cells)]))
    # Groups within a near tie of the most frequent one are all taken as dominant, and a fixed
    # hash of (block, group) picks among them: a region where groups are evenly mixed then
    # shows its mix as a mosaic, where counting alone would paint it in whichever group
    # happens to lead by a few entries.
    leading = _NEAR_TIE_DENOMINATOR * tallies >= _NEAR_TIE_NUMERATOR * top
    score = np.where(leading, (cells * 2654435761 + owners * 40503) % 1021, -1)
    order = np.lexsort((score, cells))
    last = np.flatnonzero(np.r_[cells[order][1:] != cells[order][:-1], True])
    dominant_cells, dominant = cells[order][last], owners[order][last]
    # Density: entries over the block's area (blocks at the edges may be cut short).
    entries = np.bincount(cells, weights=tallies, minlength=height * width)[dominant_cells]
    r, c = np.divmod(dominant_cells, width)
    area = (np.minimum(block_rows, m - r * block_rows) * np.minimum(block_cols, n - c * block_cols))
    density = entries / area
    shade = _PALEST + (1.0 - _PALEST) * np.sqrt(density / density.max())
    flat = image.reshape(-1, 3)
    flat[dominant_cells] = 1.0 - shade[:, None] * (1.0 - colours[dominant])
    return image


def _column_groups(pattern: Any, groups: Optional[npt.ArrayLike]) -> npt.NDArray[np.intp]:
    n = pattern.shape[1]
    if groups is None:
        return grouping.group_columns(pattern)
    per_column = np.asarray(groups)
    if per_column.ndim != 1 or (per_column.size and per_column.dtype.kind not in "iu"):
        raise ValueError("groups must be a group number per column (one-dimensional integers), "
                         "not %s of shape %r" % (per_column.dtype, per_column.shape))
    if len(per_column) != n:
        raise ValueError("groups has %d entries; the pattern has %d columns" % (len(per_column), n))
    if per_column.size and per_column.min() < 0:
        raise ValueError("groups must be >= 0; groups[%d] is %d"
                         % (int(np.argmin(per_column)), per_column.min()))
    return per_column.astype(np.intp)


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ImportError(INSTALL_HINT) from error


def _figure(max_pixels: int, height: float) -> "Figure":
    """A figure of `max_pixels` in width and `height` times that in height, on an Agg canvas."""
    _require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    pixels = int(max_pixels)
    if pixels < 100:
        raise ValueError("max_pixels must be at least 100, not %r" % (max_pixels,))
    figure = Figure(figsize=(_INCHES, _INCHES * height), dpi=pixels / _INCHES)
    FigureCanvasAgg(figure)
    return figure


def _stretched(m: int, n: int) -> bool:
    return max(m, n) > _MAX_ASPECT * max(1, min(m, n))


def _block_shape(m: int, n: int, max_pixels: int) -> Tuple[int, int]:
    """Entries per block, down and across: the fewest that give every block a pixel."""
    _, _, width, height = _PATTERN_BOX
    across, down = width * max_pixels, height * max_pixels
    if _stretched(m, n):
        return max(1, math.ceil(m / down)), max(1, math.ceil(n / across))
    side = max(1, math.ceil(max(m / down, n / across)))
    return side, side


def _label_axes(axes: "Axes", m: int, n: int, max_pixels: int, entries: bool) -> None:
    from matplotlib.ticker import MaxNLocator

    axes.xaxis.set_label_position("top")
    axes.xaxis.tick_top()
    for axis in (axes.xaxis, axes.yaxis):
        axis.set_major_locator(MaxNLocator(nbins=6, integer=True))
    axes.tick_params(labelsize=8)
    axes.set_xlabel("column (unknown)", fontsize=9)
    axes.set_ylabel("row (residual)", fontsize=9)
    _, _, width, height = _PATTERN_BOX
    if entries and min(width * max_pixels / max(n, 1), height * max_pixels / max(m, 1)) \
            >= _GAP_PIXELS:
        axes.set_xticks(np.arange(-0.5, n, 1.0), minor=True)
        axes.set_yticks(np.arange(-0.5, m, 1.0), minor=True)
        axes.tick_params(which="minor", length=0)
        axes.grid(which="minor", color="white", linewidth=1.0)


def _default_title(pattern: Any, count: int, block: Tuple[int, int]) -> str:
    m, n = pattern.shape
    lines = ["%d x %d pattern, %d entries, %d groups (lower bound %d)"
             % (m, n, pattern.nnz, count, grouping.lower_bound(pattern))]
    if block != (1, 1):
        lines.append("cells of %d x %d entries in their main group's colour, paler where sparser"
                     % block)
    return "\n".join(lines)


def _legend(axes: "Axes", groups: npt.NDArray[np.intp], colours: npt.NDArray[np.float64]) -> None:
    from matplotlib.patches import Patch

    sizes = np.bincount(groups, minlength=len(colours))
    room = _LEGEND_ROWS * _LEGEND_COLUMNS
    shown = len(sizes) if len(sizes) <= room else room - 1
    handles: List[Any] = [Patch(facecolor=colours[k], label="%d: %d" % (k, sizes[k]))
                          for k in range(shown)]
    if shown < len(sizes):
        handles.append(Patch(facecolor="white", edgecolor="none", label="%d more: %d"
                             % (len(sizes) - shown, int(sizes[shown:].sum()))))
    if handles:
        axes.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.03),
                    ncol=min(len(handles), _LEGEND_COLUMNS), fontsize=8,
                    title="group: number of columns",
                    title_fontsize=8, frameon=False, handlelength=1.2, columnspacing=1.2)


def _group_count(groups: npt.NDArray[np.intp]) -> int:
    return int(groups.max()) + 1 if len(groups) else 0


def _scipy_groups(pattern: Any) -> npt.NDArray[np.intp]:
    """SciPy's grouping with its default order (random, seeded with 0)."""
    from scipy.optimize._numdiff import group_columns

    return np.asarray(group_columns(pattern), dtype=np.intp)


def _save(figure: "Figure", path: Optional[PathLike]) -> None:
    if path is not None:
        # The figure's own resolution, whatever the user's savefig settings, keeps the size.
        figure.savefig(os.fspath(path), dpi=figure.dpi)
