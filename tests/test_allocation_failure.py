"""The compiled modules under allocation failure: MemoryError from every entry point whose
memory grows with its input, never an abort (a C++ exception must not reach the interpreter).

Each case runs in one child process whose address space is capped a little above what it
uses, so that an allocation sized by the input cannot succeed.
"""

import os
import sys

import pytest

from conftest import run_python

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"),
                       reason="caps the address space through /proc and RLIMIT_AS"),
    # AddressSanitizer reserves terabytes of address space and stops on allocation failure.
    pytest.mark.skipif(bool(os.environ.get("VENDREL_SANITIZED")),
                       reason="the address space cannot be capped under AddressSanitizer"),
]

CHILD = """
import os, resource
import numpy as np
from vendrel import _grouping, _passes

with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))

empty = np.zeros(0, dtype=np.int64)
big = 10**9


class Endless:
    # A sequence of rows that claims more items than memory can index.
    def __len__(self):
        return 2**40

    def __getitem__(self, k):
        raise IndexError(k)


x = np.linspace(1.0, 2.0, 1 << 18)
cases = {
    # Helper threads cannot start under the cap: the pass runs on the calling thread.
    "steps": lambda: _passes.steps(x, (1e-8, None, None, 0), True, np.empty_like(x)),
    "column_grouping": lambda: _grouping.column_grouping(
        big, 1, _grouping.COORDINATES, empty, empty, "best", None, 0, None),
    "lower_bound": lambda: _grouping.lower_bound(big, 1, _grouping.COORDINATES, empty, empty),
    "canonical": lambda: _grouping.canonical(1, big, _grouping.COORDINATES, empty, empty),
    "recover": lambda: _passes.recover(np.zeros(2, np.int64), np.zeros(1, np.int64),
                                       np.zeros(1, np.int64), Endless(), None, None, None, 1,
                                       True, np.zeros(1)),
    "Pool.block": lambda: _passes.Pool(0).block(2**40),
    "Pool.arrays": lambda: _passes.Pool(0).arrays(np.zeros(2**26, np.int64),
                                                  np.zeros(1, np.int64)),
}
for name, call in cases.items():
    try:
        call()
        outcome = "returned"
    except MemoryError:
        outcome = "MemoryError"
    except Exception as error:
        outcome = type(error).__name__
    print(name, outcome, flush=True)
"""

EXPECTED = {
    "steps": "returned",
    "column_grouping": "MemoryError",
    "lower_bound": "MemoryError",
    "canonical": "MemoryError",
    "recover": "MemoryError",
    "Pool.block": "MemoryError",
    "Pool.arrays": "MemoryError",
}


@pytest.fixture(scope="module")
def outcomes():
    child = run_python(CHILD)
    found = dict(line.split() for line in child.stdout.splitlines() if line.strip())
    return child, found


@pytest.mark.parametrize("entry", sorted(EXPECTED))
def test_entry_point_under_allocation_failure(outcomes, entry):
    child, found = outcomes
    assert child.returncode == 0, child.stderr[-2000:]
    assert found.get(entry) == EXPECTED[entry], child.stdout
