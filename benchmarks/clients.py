"""vendrel.scipy's drop-ins against SciPy's own calls, side by side in one run.

    python benchmarks/clients.py            # the full table (about ten minutes)
    python benchmarks/clients.py --quick    # smaller sizes, a smoke run
    python benchmarks/clients.py --cost 1e-4 --only Broyden   # residuals that cost 0.1 ms

Each row makes the same call twice, once with SciPy's function and once with vendrel.scipy's
(the script changes only which module the function comes from), alternately, `repeats`
times; the residual function is counted by a wrapper, the Jacobians' evaluations included.
Ratios are ours / SciPy's: of wall time (the median of the pairs' ratios) and of
evaluations. "same result" compares the two results: bit for bit ("identical") or the
largest relative difference of the solution.
"""

import argparse
import platform
import sys
import time

import numpy as np
import scipy
import scipy.integrate
import scipy.optimize
import scipy.sparse

import vendrel.scipy


class Counted:
    """fun, counted; with `cost`, each call first spins that many seconds, standing in for a
    residual function whose evaluation is what a solve spends its time on."""

    cost = 0.0

    def __init__(self, fun):
        self.fun, self.calls = fun, 0

    def __call__(self, *args):
        self.calls += 1
        if self.cost:
            until = time.perf_counter() + self.cost
            while time.perf_counter() < until:
                pass
        return self.fun(*args)


def square_pattern(side, reach):
    """Every point of a side x side grid coupled to those within `reach` along both axes (the
    25-point square for reach 2), as the csr_matrix a SciPy user would build with kron."""
    offsets = np.arange(-reach, reach + 1)
    line = scipy.sparse.diags([np.ones(side)] * len(offsets), offsets, shape=(side, side))
    return scipy.sparse.csr_matrix(scipy.sparse.kron(line, line))


class Brusselator:
    """The 1-D Brusselator (Hairer and Wanner, II.10), u and v interleaved at each of `points`
    grid points with fixed ends: stiff (diffusion alpha / h^2), a pattern of five diagonals."""

    def __init__(self, points, alpha=0.02):
        self.points, self.n = points, 2 * points
        self.c = alpha * (points + 1) ** 2

    def __call__(self, t, y):
        u, v = y[0::2], y[1::2]

        def second(w, edge):
            padded = np.concatenate([[edge], w, [edge]])
            return padded[:-2] - 2.0 * w + padded[2:]

        out = np.empty_like(y)
        out[0::2] = 1.0 + u * u * v - 4.0 * u + self.c * second(u, 1.0)
        out[1::2] = 3.0 * u - u * u * v + self.c * second(v, 3.0)
        return out

    def start(self):
        x = np.arange(1, self.points + 1) / (self.points + 1)
        y = np.empty(self.n)
        y[0::2], y[1::2] = 1.0 + np.sin(2 * np.pi * x), 3.0
        return y

    def pattern(self):
        return scipy.sparse.diags([1.0] * 5, [-2, -1, 0, 1, 2], shape=(self.n, self.n),
                                  format="csr")


class Deblur:
    """Bounded least squares: an image in [0, 1] from its blur by a 5 x 5 kernel, with a mild
    nonlinearity (a sensor's response), started from grey."""

    def __init__(self, side):
        self.side, self.n = side, side * side
        rng = np.random.default_rng(0)
        truth = np.clip(rng.random((side, side)) * 1.4 - 0.2, 0.0, 1.0)
        self.data = self.forward(truth.ravel())

    def forward(self, x):
        s = self.side
        p = np.pad(x.reshape(s, s), 2)
        blurred = sum(p[i:i + s, j:j + s] * (1.0 / (1 + abs(i - 2) + abs(j - 2)))
                      for i in range(5) for j in range(5)) / 9.0
        return (blurred + 0.1 * np.tanh(blurred)).ravel()

    def __call__(self, x):
        return self.forward(x) - self.data

    def pattern(self):
        return square_pattern(self.side, 2)


def broyden_tridiagonal(x):
    padded = np.concatenate([[0.0], x, [0.0]])
    return (3.0 - 2.0 * x) * x - padded[:-2] - 2.0 * padded[2:] + 1.0


def cases(quick):
    ode = Brusselator(1000 if quick else 5000)
    small = Brusselator(200 if quick else 500)
    blur = Deblur(30 if quick else 60)
    n_minpack = 300 if quick else 1000

    def ivp(method, problem, t_end):
        return ("solve_ivp", (problem, (0.0, t_end), problem.start()),
                dict(method=method, rtol=1e-6, atol=1e-8, jac_sparsity=problem.pattern()))

    return [
        ("Brusselator, BDF", ode.n) + ivp("BDF", ode, 10.0),
        ("Brusselator, Radau", ode.n) + ivp("Radau", ode, 10.0),
        ("Brusselator, LSODA", small.n) + ivp("LSODA", small, 10.0),
        ("Brusselator, BDF", small.n, "solve_ivp", (small, (0.0, 10.0), small.start()),
         dict(method="BDF", rtol=1e-6, atol=1e-8)),
        ("deblurring in [0, 1], trf", blur.n,
         "least_squares", (blur, np.full(blur.n, 0.5)),
         dict(jac_sparsity=blur.pattern(), bounds=(0.0, 1.0), method="trf")),
        ("Broyden tridiagonal, root hybr", n_minpack,
         "root", (broyden_tridiagonal, -np.ones(n_minpack)), dict(method="hybr")),
        ("Broyden tridiagonal, root lm", n_minpack,
         "root", (broyden_tridiagonal, -np.ones(n_minpack)), dict(method="lm")),
        ("Broyden tridiagonal, fsolve", n_minpack,
         "fsolve", (broyden_tridiagonal, -np.ones(n_minpack)), {}),
    ]


SCIPY = {"solve_ivp": scipy.integrate.solve_ivp,
         "least_squares": scipy.optimize.least_squares,
         "root": scipy.optimize.root, "fsolve": scipy.optimize.fsolve}


def run(function, args, kwargs):
    fun = Counted(args[0])
    start = time.perf_counter()
    with np.errstate(all="ignore"):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = function(fun, *args[1:], **kwargs)
    return result, fun.calls, time.perf_counter() - start


def solution(result):
    if isinstance(result, np.ndarray):
        return result
    return result.y[:, -1] if "y" in result else result.x


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cost", type=float, default=0.0,
                        help="seconds each evaluation spins before computing the residual")
    parser.add_argument("--only", default="", help="rows whose problem contains this text")
    options = parser.parse_args()
    Counted.cost = options.cost
    print("vendrel (branch scipy), NumPy %s, SciPy %s, Python %s, %s; %g s per evaluation added"
          % (np.__version__, scipy.__version__, platform.python_version(), platform.machine(),
             options.cost))
    print()
    print("| problem | n | pattern given | evaluations SciPy | ours | ratio | seconds SciPy | "
          "ours | time ratio | same result |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name, n, function, args, kwargs in cases(options.quick):
        if options.only not in name:
            continue
        repeats = options.repeats if n <= 2000 else 1
        ratios, times = [], []
        for _ in range(repeats):
            theirs, their_calls, their_time = run(SCIPY[function], args, kwargs)
            ours, our_calls, our_time = run(getattr(vendrel.scipy, function), args, kwargs)
            ratios.append(our_time / their_time)
            times.append((their_time, our_time))
        a, b = solution(theirs), solution(ours)
        if np.array_equal(a, b):
            same = "identical"
        else:
            same = "rel. diff. %.1e" % (np.abs(a - b).max() / max(np.abs(a).max(), 1e-300))
        given = "jac_sparsity" in kwargs
        print("| %s | %d | %s | %d | %d | %.3f | %.2f | %.2f | %.2f | %s |" % (
            name, n, "yes" if given else "no (traced)", their_calls, our_calls,
            our_calls / their_calls, np.median([t[0] for t in times]),
            np.median([t[1] for t in times]), np.median(ratios), same), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
