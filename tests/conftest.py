"""Shared helpers: subprocess runs for start-up, traceback and refcount checks, subclasses."""

import os
import pathlib
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


REPO = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def pure_harness(tmp_path_factory):
    """The module's pure functions, built from the source tree with sanitizers on.

    Returns a function taking request lines and giving answer lines.
    """
    import shutil

    sources = [REPO / "src/sparse_solver/shell" / name for name in ("buffer_format.cpp", "version_text.cpp")]
    compiler = shutil.which("g++") or shutil.which("clang++")
    if compiler is None or not all(path.exists() for path in sources):
        pytest.skip("needs the source tree and a C++ compiler")
    binary = tmp_path_factory.mktemp("harness") / "pure_harness"
    command = [compiler, "-std=c++17", "-O1", "-g", "-fsanitize=address,undefined",
               "-fno-sanitize-recover=all", "-I", str(REPO / "src/sparse_solver"),
               str(REPO / "tests/cpp/pure_harness.cpp"), *map(str, sources), "-o", str(binary)]
    clean = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run(command, capture_output=True, text=True, env=clean)
    if built.returncode != 0:
        command = [c for c in command if not c.startswith("-fsanitize") and c != "-fno-sanitize-recover=all"]
        built = subprocess.run(command, capture_output=True, text=True, env=clean)
        assert built.returncode == 0, built.stderr

    def run(lines):
        done = subprocess.run([str(binary)], input="".join(line + "\n" for line in lines),
                              capture_output=True, text=True, timeout=300, env=clean)
        assert done.returncode == 0, done.stderr
        answers = done.stdout.splitlines()
        assert len(answers) == len(lines)
        return answers

    return run


def _built(make, tmp_path_factory, name):
    sys.path.insert(0, str(REPO / "tests/ext"))
    try:
        import clients as builder
    finally:
        sys.path.pop(0)
    try:
        return getattr(builder, make)(tmp_path_factory.mktemp(name))
    except builder.BuildUnavailable as reason:
        pytest.skip(str(reason))


@pytest.fixture(scope="session")
def cython_client(tmp_path_factory):
    """tests/ext/client.pyx, cythonized against the installed .pxd and compiled."""
    return _built("cython_client", tmp_path_factory, "cython_client")


@pytest.fixture(scope="session")
def header_client(tmp_path_factory):
    """tests/ext/header_client.cpp, compiled against the shipped header."""
    return _built("header_client", tmp_path_factory, "header_client")


@pytest.fixture(scope="session")
def static_residual(tmp_path_factory):
    """tests/ext/static_residual.c compiled against NumPy: a residual that returns the same
    static memory on every call. Built as _built builds the clients, with clients.py's compiler."""
    import numpy

    sys.path.insert(0, str(REPO / "tests/ext"))
    try:
        import clients as builder
    finally:
        sys.path.pop(0)
    try:
        return builder.compile_extension([REPO / "tests/ext/static_residual.c"], "static_residual",
                                         tmp_path_factory.mktemp("static_residual"),
                                         [numpy.get_include()], False)
    except builder.BuildUnavailable as reason:
        pytest.skip(str(reason))
