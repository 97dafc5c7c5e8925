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


REPO = __import__("pathlib").Path(__file__).resolve().parent.parent


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
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        command = [c for c in command if not c.startswith("-fsanitize") and c != "-fno-sanitize-recover=all"]
        built = subprocess.run(command, capture_output=True, text=True)
        assert built.returncode == 0, built.stderr

    def run(lines):
        done = subprocess.run([str(binary)], input="".join(line + "\n" for line in lines),
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        answers = done.stdout.splitlines()
        assert len(answers) == len(lines)
        return answers

    return run


def _compile_extension(sources, name, directory, include_dirs, cplus):
    """Compiles `sources` into the extension module `name` in `directory`; returns it."""
    import importlib.util
    import shutil
    import sysconfig

    compiler = shutil.which("g++" if cplus else "gcc") or shutil.which("c++" if cplus else "cc")
    if compiler is None:
        pytest.skip("needs a C/C++ compiler")
    target = directory / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    includes = [sysconfig.get_paths()["include"], *include_dirs]
    command = [compiler, "-shared", "-fPIC", "-O1", "-w", *("-I" + str(i) for i in includes),
               *map(str, sources), "-o", str(target)]
    if cplus:
        command.insert(1, "-std=c++17")
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def cython_client(tmp_path_factory):
    """tests/ext/client.pyx, cythonized against the installed .pxd and compiled."""
    cython = pytest.importorskip("Cython")
    import numpy

    directory = tmp_path_factory.mktemp("cython_client")
    source = directory / "client.c"
    done = subprocess.run([sys.executable, "-m", "cython", "-3", str(REPO / "tests/ext/client.pyx"),
                           "-o", str(source)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    module = _compile_extension([source], "client", directory, [numpy.get_include()], False)
    module.cython_version = cython.__version__
    return module


@pytest.fixture(scope="session")
def header_client(tmp_path_factory):
    """tests/ext/header_client.cpp, compiled against the shipped header."""
    import vendrel

    directory = tmp_path_factory.mktemp("header_client")
    return _compile_extension([REPO / "tests/ext/header_client.cpp"], "header_client", directory,
                              [vendrel.get_include()], True)
