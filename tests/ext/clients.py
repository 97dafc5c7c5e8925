"""Builds the compiled test clients of the C-level method table (used by the tests and the
benchmarks): client.pyx through Cython, header_client.cpp against the shipped header."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent


def tool_environment():
    """The environment for compilers and code generators: without a sanitizer runtime
    that a sanitizer run preloads into the interpreter."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


class BuildUnavailable(Exception):
    """A compiler or Cython is missing."""


def compile_extension(sources, name, directory, include_dirs, cplus):
    """Compiles `sources` into the extension module `name` in `directory` and imports it."""
    compiler = shutil.which("g++" if cplus else "gcc") or shutil.which("c++" if cplus else "cc")
    if compiler is None:
        raise BuildUnavailable("needs a C/C++ compiler")
    target = pathlib.Path(directory) / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    includes = [sysconfig.get_paths()["include"], *include_dirs]
    command = [compiler, "-shared", "-fPIC", "-O2", "-w", *("-I" + str(i) for i in includes),
               *map(str, sources), "-o", str(target)]
    if cplus:
        command.insert(1, "-std=c++17")
    built = subprocess.run(command, capture_output=True, text=True, env=tool_environment())
    if built.returncode != 0:
        raise RuntimeError(built.stderr)
    found = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def cython_client(directory):
    """client.pyx, cythonized against the installed .pxd, compiled and imported."""
    try:
        import Cython
    except ImportError as error:
        raise BuildUnavailable("needs Cython") from error
    import numpy

    source = pathlib.Path(directory) / "client.c"
    done = subprocess.run([sys.executable, "-m", "cython", "-3", str(HERE / "client.pyx"),
                           "-o", str(source)], capture_output=True, text=True,
                          env=tool_environment())
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    module = compile_extension([source], "client", directory, [numpy.get_include()], False)
    module.cython_version = Cython.__version__
    return module


def header_client(directory):
    """header_client.cpp, compiled against the shipped header and imported."""
    import vendrel

    return compile_extension([HERE / "header_client.cpp"], "header_client", directory,
                             [vendrel.get_include()], True)
