"""The differential fuzzer (tests/tracing_fuzz.py) in the suite: random NumPy programs whose
traced pattern must hold what perturbation finds, or be refused.

VENDREL_FUZZ_PROGRAMS sets how many programs run (3000 by default, about 40 s); runs on further
interpreters may set fewer. A failure prints each failing program cut down to a reproduction.
"""

import os

import numpy as np
import pytest

import tracing_fuzz
from vendrel.tracing import trace_sparsity

COUNT = int(os.environ.get("VENDREL_FUZZ_PROGRAMS", "3000"))
CHUNKS = 4


@pytest.mark.parametrize("seed", range(CHUNKS))
def test_random_programs_are_traced_soundly_or_refused(seed):
    tally, failures = tracing_fuzz.run(seed, COUNT // CHUNKS, report=lambda text: None)
    assert not failures, "\n\n".join(failures)
    # A grammar the tracer mostly refuses would test nothing.
    assert tally["sound"] >= 0.8 * sum(tally.values()), tally


def test_the_fuzzer_reports_an_entry_the_trace_misses_cut_down_to_its_lines(monkeypatch):
    # A tracer that drops a dependency must be caught, and the program cut down to the lines
    # that still show it.
    lines = ["v1 = np.sin(x)", "v2 = np.cos(x)", "v3 = v1 * x[::-1]",
             "v4 = v3.sum(axis=0, keepdims=True)"]
    real = trace_sparsity

    def forgetful(fun, x0):
        pattern = real(fun, x0).tolil()
        pattern[0, 3] = False
        return pattern.tocsr()
    monkeypatch.setattr(tracing_fuzz, "trace_sparsity", forgetful)
    fun = tracing_fuzz.compile_program(lines, ["v4", "v2"])
    assert tracing_fuzz.verdict(fun, np.random.default_rng(0)) == \
        "missed 1 entries, e.g. (row 0, column 3)"
    assert tracing_fuzz.minimize(lines, ["v4", "v2"], 0) == (
        ["v1 = np.sin(x)", "v3 = v1 * x[::-1]", "v4 = v3.sum(axis=0, keepdims=True)"], ["v4"])
