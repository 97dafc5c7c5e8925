"""Shared helpers: subprocess runs for start-up, traceback and refcount checks, subclasses."""

import subprocess
import sys
import textwrap

import pytest

SOURCE_FILE = "vendrel\\sparse_solver"


def run_python(code, *args):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def module_entries(tb):
    """The traceback entries that the module added, as (function, site, line, file)."""
    entries = []
    while tb is not None:
        code = tb.tb_frame.f_code
        name = code.co_name
        if " (" in name and name.endswith(")"):
            function, _, where = name[:-1].rpartition(" (")
            source, _, site = where.rpartition(":")
            if source == SOURCE_FILE:
                entries.append((function, int(site), tb.tb_lineno, code.co_filename))
        tb = tb.tb_next
    return entries


def entry_lines(excinfo, function):
    """(line, file) of each module entry for `function`, outermost first."""
    tb = excinfo.tb if hasattr(excinfo, "tb") else excinfo.__traceback__
    return [(line, file) for fn, _, line, file in module_entries(tb) if fn == function]


@pytest.fixture
def sparse_solver():
    import vendrel.sparse_solver as module

    return module
