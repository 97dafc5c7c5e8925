"""The test suite on every supported CPython, and on the oldest supported NumPy.

    nox                        # all sessions whose interpreters are installed
    nox -s "tests-3.8"         # one version
"""

import nox

nox.options.error_on_missing_interpreters = False
# The standard library's venv: current virtualenv releases no longer seed 3.8.
nox.options.default_venv_backend = "venv"
nox.options.reuse_existing_virtualenvs = False

VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
# The packaging test builds and installs its own wheel; the primary run covers it.
PYTEST = ["pytest", "tests", "-q", "-p", "no:cacheprovider", "-k", "not packaging"]
# The primary run fuzzes the tracer with its full count; the other interpreters with a sample.
FUZZ = {"VENDREL_FUZZ_PROGRAMS": "400"}


@nox.session(python=VERSIONS)
def tests(session: nox.Session) -> None:
    """The newest NumPy and SciPy wheels for the interpreter."""
    session.install(".[test]")
    session.run("python", "-c", "import numpy, scipy; print('numpy', numpy.__version__, "
                "'scipy', scipy.__version__)")
    session.run(*PYTEST, env=FUZZ)


@nox.session(python="3.11")
def oldest_numpy(session: nox.Session) -> None:
    """The oldest NumPy 1.x with wheels for 3.11, under a module built against NumPy 2."""
    session.install(".[test]", "numpy==1.23.5")
    session.run("python", "-c", "import numpy, scipy; print('numpy', numpy.__version__, "
                "'scipy', scipy.__version__)")
    session.run(*PYTEST, env=FUZZ)
