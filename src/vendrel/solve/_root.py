"""The Newton iteration behind `vendrel.solve.root`.

Evaluations of the residual are the cost this package exists to cut, so every choice here
spends them sparingly: a Jacobian (one evaluation per group of columns) is made only when
the update rule asks for one, its factorisation is kept as long as the Jacobian is, and the
line search tries the full step first and interpolates rather than halves.
"""

import time
from typing import Any, Callable, List, Optional, Tuple, cast

import numpy as np
import numpy.typing as npt
from scipy.optimize import OptimizeResult

from vendrel.solve import _messages as text
from vendrel.solve._linear import (Factorize, Forcing, SingularJacobian, Solve, solve_checked,
                                   tolerance_name)

FloatArray = npt.NDArray[np.float64]

# Armijo's constant and the safeguards of the interpolated backtrack (Kelley, 2003).
ARMIJO = 1e-4
SHRINK_LEAST, SHRINK_MOST = 0.1, 0.5
MAX_TRIALS = 20
# "lazy": keep the Jacobian while each step cuts ||F|| at least this much.
LAZY_RATE = 0.3
# Jacobians are kept for at most this many iterations, whatever the rate (KINSOL's msbset).
MAX_KEPT = 10
# "broyden": restart from a new Jacobian after this many updates, or when a step cuts ||F||
# by less than BROYDEN_RATE.
MAX_UPDATES = 20
PTC_INCREMENT = 1.1
BROYDEN_RATE = 0.5
# "matrix_free": the relative difference increment, and GMRES's restart and cycles per step.
MATRIX_FREE_STEP = float(np.sqrt(np.finfo(float).eps))
MATRIX_FREE_RESTART, MATRIX_FREE_CYCLES = 30, 4


def _dot(a: FloatArray, b: FloatArray) -> float:
    """a . b without BLAS: OpenBLAS threads its dot product past about 10^4 entries, and on a
    busy machine waiting for the threads costs more than the product (milliseconds each)."""
    return float(np.add.reduce(a * b))


def _norm(a: FloatArray) -> float:
    return float(np.sqrt(_dot(a, a)))


class Stop(Exception):
    """Ends the iteration with a status (see _messages.STATUS)."""

    def __init__(self, status: int, detail: str = "") -> None:
        super().__init__(status)
        self.status, self.detail = status, detail


class Problem:
    """What the iteration works on: the residual, the Jacobian, the linear solver, counters."""

    def __init__(self, residual: Callable[[FloatArray], FloatArray],
                 jacobian: Callable[[FloatArray, FloatArray], Tuple[Any, int]],
                 jacobian_cost: Callable[[], int], factorize: Factorize, lower: FloatArray,
                 upper: FloatArray, x_scale: FloatArray, f_scale: FloatArray,
                 max_nfev: Optional[int], verbose: int) -> None:
        self.residual, self.jacobian, self.factorize = residual, jacobian, factorize
        self.jacobian_cost = jacobian_cost
        self.lower, self.upper = lower, upper
        self.bounded = bool(np.isfinite(lower).any() or np.isfinite(upper).any())
        self.x_scale, self.f_scale = x_scale, f_scale
        self.max_nfev, self.verbose = max_nfev, verbose
        self.nfev = self.njev = self.jac_nfev = self.nfact = 0
        self.fun_time = self.jac_time = self.linear_time = 0.0
        self.unit_f_scale = bool(np.all(f_scale == 1.0))
        self.last_largest: Tuple[Any, float] = (None, 0.0)
        self.best: Optional[Tuple[float, FloatArray, FloatArray]] = None
        # The Krylov solves' tolerance, moved after each step (None: a direct solver)
        self.forcing: Optional[Forcing] = None

    # -- evaluations

    def evaluate(self, x: FloatArray) -> Tuple[FloatArray, float]:
        """F(x) and ||f_scale F(x)|| (inf where F has non-finite entries); the best point so
        far is kept by max |f_scale F|, the norm that decides success."""
        if self.max_nfev is not None and self.nfev >= self.max_nfev:
            raise Stop(-1)
        start = time.perf_counter()
        f = self.residual(x)
        self.fun_time += time.perf_counter() - start
        self.nfev += 1
        norm = _norm(self.weighted(f))
        largest = self.largest(f)
        if np.isfinite(norm) and (self.best is None or largest < self.best[0]):
            self.best = (largest, x, f)
        return f, norm if np.isfinite(norm) else np.inf

    def weighted(self, f: FloatArray) -> FloatArray:
        return f if self.unit_f_scale else self.f_scale * f

    def largest(self, f: FloatArray) -> float:
        """max |f_scale F|, kept for the last residual asked about (it is asked often)."""
        if self.last_largest[0] is not f:
            value = float(np.max(np.abs(self.weighted(f)), initial=0.0))
            self.last_largest = (f, value if np.isfinite(value) else np.inf)
        return self.last_largest[1]

    def make_jacobian(self, x: FloatArray, f: FloatArray) -> Any:
        start = time.perf_counter()
        J, evaluations = self.jacobian(x, f)
        self.jac_time += time.perf_counter() - start
        self.njev += 1
        self.jac_nfev += evaluations
        self.nfev += evaluations
        return J

    def make_solve(self, J: Any) -> Solve:
        start = time.perf_counter()
        try:
            solve = self.factorize(J)
        finally:
            self.linear_time += time.perf_counter() - start
        self.nfact += 1
        return solve

    def apply(self, solve: Solve, b: FloatArray) -> FloatArray:
        start = time.perf_counter()
        try:
            return solve_checked(solve, b)
        finally:
            self.linear_time += time.perf_counter() - start

    def check_budget(self, cost: int) -> None:
        """Stops before evaluations that would go over max_nfev."""
        if self.max_nfev is not None and self.nfev + cost > self.max_nfev:
            raise Stop(-1)

    # -- geometry

    def feasible_step(self, x: FloatArray, p: FloatArray) -> FloatArray:
        """The step p, projected so that x + p stays within the bounds."""
        if not self.bounded:
            return p
        return np.clip(x + p, self.lower, self.upper) - x

    def scaled_max(self, dx: FloatArray, x: FloatArray) -> float:
        """max |dx_i| / max(|x_i|, x_scale_i): the relative step that xtol bounds."""
        return float(np.max(np.abs(dx) / np.maximum(np.abs(x), self.x_scale), initial=0.0))


class Inverse:
    """The solve of the current Jacobian, with Broyden's rank-one updates applied on top.

    After updates (a_j, s_j), j = 0..k-1, the inverse is (I + a_{k-1} s_{k-1}^T) ... (I + a_0
    s_0^T) J^-1, so a step costs one solve with the factorisation and k inner products: the
    factorisation itself is never changed.
    """

    def __init__(self, problem: Problem, J: Any, shift: float = 0.0) -> None:
        self.problem = problem
        self.J = J
        if shift:
            import scipy.sparse

            if scipy.sparse.issparse(J):
                # issparse narrows J to a base class that has neither shape nor +
                sparse: Any = J
                J = sparse + shift * scipy.sparse.identity(sparse.shape[0], format="csr")
            else:
                J = J + shift * np.eye(J.shape[0])
        self.solve = problem.make_solve(J)
        self.updates: List[Tuple[FloatArray, FloatArray]] = []
        self.iterations = 0
        # (b, the inverse applied to b), for the b the next step will ask about
        self.known: Optional[Tuple[FloatArray, FloatArray]] = None

    def __call__(self, b: FloatArray) -> FloatArray:
        if self.known is not None and self.known[0] is b:
            return self.known[1].copy()
        t = self.problem.apply(self.solve, b)
        for a, s in self.updates:
            t += a * _dot(s, t)
        return t

    def update(self, s: FloatArray, f_old: FloatArray, f_new: FloatArray,
               h_old: FloatArray) -> bool:
        """Broyden's good update for the step s from F = f_old to f_new, where h_old is the
        inverse applied to f_old; False when it cannot be made (it would be singular).

        One application of the inverse serves both the update and the next step (Kelley's
        economy): with z = H f_new, H (f_new - f_old) is z - h_old, and the updated inverse
        applied to f_new is z + a (s . z), kept for the next call.
        """
        z = self(f_new)
        w = z - h_old
        denominator = _dot(s, w)
        if not np.isfinite(denominator) or abs(denominator) <= 1e-12 * _dot(s, s):
            return False
        a = (s - w) / denominator
        self.updates.append((a, s))
        z += a * _dot(s, z)
        self.known = (f_new, z)
        return True


class MatrixFree:
    """A Newton step without a Jacobian: J p = b solved by GMRES on products J v, each by one
    forward difference (F(x + h v) - F(x)) / h and so one evaluation (Jacobian-free
    Newton-Krylov, as SciPy's newton_krylov and PETSc's -snes_mf). For Jacobians that
    grouping cannot make cheap: dense rows, dense problems. Each solve is as accurate as the
    Newton step needs (the problem's Forcing)."""

    def __init__(self, problem: Problem, x: FloatArray, f: FloatArray) -> None:
        self.problem, self.x, self.f = problem, x, f
        self.iterations = 0
        self.scale = max(1.0, _norm(x))

    def product(self, v: FloatArray) -> FloatArray:
        size = _norm(v)
        if size == 0.0:
            return np.zeros_like(self.f)
        # Kelley's difference increment (Solving Nonlinear Equations with Newton's Method,
        # 2003, section 3.2.5): sqrt(eps) relative to max(1, ||x||), along v of unit length.
        h = MATRIX_FREE_STEP * self.scale / size
        f_moved, _ = self.problem.evaluate(self.x + h * v)
        self.problem.jac_nfev += 1
        return (f_moved - self.f) / h

    def __call__(self, b: FloatArray) -> FloatArray:
        import scipy.sparse.linalg

        problem = self.problem
        n = len(b)
        operator = scipy.sparse.linalg.LinearOperator((n, n), matvec=self.product,
                                                      dtype=np.float64)
        rtol = problem.forcing.rtol if problem.forcing is not None else 1e-2
        start = time.perf_counter()
        try:
            p, info = _krylov_gmres(operator, b, rtol)
        finally:
            problem.linear_time += time.perf_counter() - start
        if info < 0 or not np.all(np.isfinite(p)):
            raise SingularJacobian("GMRES on difference products broke down")
        return np.asarray(p, dtype=np.float64)


def _krylov_gmres(operator: Any, b: FloatArray, rtol: float) -> Tuple[FloatArray, int]:
    import scipy.sparse.linalg

    gmres: Any = scipy.sparse.linalg.gmres  # its tolerance's name depends on the release
    x, info = gmres(operator, b, atol=0.0, restart=MATRIX_FREE_RESTART,
                    maxiter=MATRIX_FREE_CYCLES, **{tolerance_name(gmres): rtol})
    return np.asarray(x, dtype=np.float64), int(info)


class _Held:
    """A Jacobian kept for the next pseudo-time step, not yet factorised."""

    def __init__(self, J: Any) -> None:
        self.J = J
        self.updates: List[Tuple[FloatArray, FloatArray]] = []
        self.iterations = 0


def newton(problem: Problem, x: FloatArray, *, jac_update: str, globalization: str,
           ftol: float, xtol: float, max_iter: int, ptc_step: Optional[float],
           callback: Optional[Callable[[FloatArray, FloatArray], Any]]) -> OptimizeResult:
    start = time.perf_counter()
    verbose = problem.verbose
    nit = 0
    status, detail = 0, ""
    f: Optional[FloatArray] = None
    try:
        f, norm = problem.evaluate(x)
        if not np.isfinite(norm):
            raise Stop(-4)
        if verbose:
            print(text.HEADER)
            print((text.FIRST_ROW % (0, _max(problem, f), norm, "", "", problem.nfev, "", "")).rstrip())
        inverse: Any = None  # an Inverse, a _Held Jacobian (ptc), or None: make one
        refusals = age = 0
        radius = 100.0 * max(1.0, _norm(x / problem.x_scale))
        delta = ptc_step if ptc_step is not None else 0.1 / max(_max(problem, f), 1e-300)
        while True:
            if _max(problem, f) <= ftol:
                raise Stop(1)
            if nit >= max_iter:
                raise Stop(0)
            linear_before = problem.linear_time
            fresh = inverse is None or globalization == "ptc"
            if inverse is None and jac_update == "matrix_free":
                J, label = None, "free"
            elif inverse is None:
                problem.check_budget(problem.jacobian_cost())
                J = problem.make_jacobian(x, f)
                age = 0
                label = "new"
            elif globalization != "ptc":
                label = "kept" if not inverse.updates else "broyden %d" % len(inverse.updates)
            else:
                J, label = inverse.J, "kept"
            if globalization == "ptc":
                try:
                    inverse = Inverse(problem, J, 1.0 / delta)
                except SingularJacobian:
                    # J + I / dt is singular for this dt: a shorter pseudo-time step
                    inverse, delta = _Held(J), 0.5 * delta
                    refusals += 1
                    if refusals > MAX_TRIALS:
                        raise
                    continue
            elif inverse is None:
                inverse = MatrixFree(problem, x, f) if J is None else Inverse(problem, J)
            h = inverse(f)
            p = problem.feasible_step(x, -h)
            if globalization == "line_search":
                found = line_search(problem, x, f, norm, p, ftol)
            elif globalization == "dogleg":
                found, radius = dogleg(problem, x, f, norm, p, inverse.J, radius, ftol, xtol)
            else:
                found = ptc_trial(problem, x, f, p, delta)
            inverse.iterations += 1
            if found is None:
                if globalization == "ptc":
                    delta *= 0.5  # a shorter pseudo-time step, from the same Jacobian
                    refusals += 1
                    if refusals > MAX_TRIALS:
                        raise Stop(-2)
                    continue
                if fresh:
                    raise Stop(-2)
                if verbose > 1:
                    print(text.NEW_JACOBIAN % "the kept one gave no decrease")
                inverse = None
                continue
            x_new, f_new, norm_new, step = found
            nit += 1
            refusals = 0
            dx = x_new - x
            if globalization == "ptc":
                # switched evolution relaxation, with PETSc's increment of 1.1 so that dt still
                # grows while ||F|| barely moves
                delta = min(PTC_INCREMENT * delta * norm / max(norm_new, 1e-300), 1e300)
            elif jac_update in ("every", "matrix_free"):
                inverse = None
            elif jac_update == "lazy":
                if norm_new > LAZY_RATE * norm or inverse.iterations >= MAX_KEPT:
                    inverse = None
            else:  # broyden
                if norm_new > BROYDEN_RATE * norm or len(inverse.updates) >= MAX_UPDATES \
                        or not inverse.update(dx, f, f_new, h):
                    inverse = None
            if globalization == "ptc":
                age += 1
                if jac_update == "every" or norm_new > LAZY_RATE * norm or age >= MAX_KEPT:
                    inverse = None
            if verbose:
                print(text.ROW % (nit, _max(problem, f_new), norm_new, step,
                                  float(np.max(np.abs(dx), initial=0.0)), problem.nfev, label,
                                  problem.linear_time - linear_before))
            if problem.forcing is not None:
                problem.forcing.next(norm_new, norm,
                                     0.5 * ftol / max(_max(problem, f_new), 1e-300))
            x, f, norm = x_new, f_new, norm_new
            asked = callback is not None and callback(x.copy(), f.copy())
            # a point that meets ftol is a success, whatever the callback says
            if _max(problem, f) <= ftol:
                raise Stop(1)
            if asked:
                raise Stop(-7)
            if problem.scaled_max(dx, x) <= xtol:
                raise Stop(-5)
    except Stop as stop:
        status, detail = stop.status, stop.detail
    except SingularJacobian as error:
        status, detail = -3, str(error)
    message = text.STATUS[status] % detail if "%s" in text.STATUS[status] else text.STATUS[status]
    if status != 1 and problem.best is not None:
        _, x, f = problem.best
    total = time.perf_counter() - start
    if verbose:
        print(text.SUMMARY % (message, nit, problem.nfev, problem.jac_nfev, problem.njev,
                              problem.nfact, total, problem.fun_time, problem.jac_time,
                              problem.linear_time))
    return OptimizeResult(  # type: ignore[call-arg]  # the stub omits the dict's keywords
        x=x, fun=f, success=status == 1, status=status, message=message, nit=nit,
        nfev=problem.nfev, njev=problem.njev, jac_nfev=problem.jac_nfev, nfact=problem.nfact,
        time=total, fun_time=problem.fun_time, jac_time=problem.jac_time,
        linear_time=problem.linear_time)


def _max(problem: Problem, f: FloatArray) -> float:
    return problem.largest(f)


Found = Optional[Tuple[FloatArray, FloatArray, float, float]]


def line_search(problem: Problem, x: FloatArray, f: FloatArray, norm: float,
                p: FloatArray, ftol: float) -> Found:
    """The first step length from 1 down that passes Armijo's test on ||F||, or whose point
    meets ftol (max|F| may meet it while ||F|| rises): the first backtrack from a quadratic
    model with the Newton slope, the later ones from a parabola through the last three
    values, each kept within [0.1, 0.5] of the last; non-finite residuals halve the step."""
    phi0 = norm * norm
    lam, lam_last, phi_last = 1.0, 0.0, phi0
    for trial in range(1, MAX_TRIALS + 1):
        x_new = x + lam * p
        f_new, norm_new = problem.evaluate(x_new)
        accepted = norm_new <= (1.0 - ARMIJO * lam) * norm or problem.largest(f_new) <= ftol
        if problem.verbose > 1 and (trial > 1 or not accepted):
            print(text.TRIAL % (trial, lam, norm_new, "" if np.isfinite(norm_new)
                                else " (non-finite residuals)"))
        if accepted:
            return x_new, f_new, norm_new, lam
        phi = norm_new * norm_new
        if not np.isfinite(phi):
            lam_next = SHRINK_MOST * lam
        elif lam_last == 0.0:
            # phi(lam) ~ phi0 (1 - 2 lam) + c lam^2 along a Newton direction
            curvature = phi - phi0 + 2.0 * phi0 * lam
            lam_next = phi0 * lam * lam / curvature if curvature > 0 else SHRINK_MOST * lam
        else:
            lam_next = _parabola(lam, lam_last, phi0, phi, phi_last)
        lam_next = min(max(lam_next, SHRINK_LEAST * lam), SHRINK_MOST * lam)
        if np.isfinite(phi):
            lam_last, phi_last = lam, phi
        lam = lam_next
    return None


def _parabola(lam: float, lam_last: float, phi0: float, phi: float, phi_last: float) -> float:
    """The minimiser of the parabola through (0, phi0), (lam, phi), (lam_last, phi_last)."""
    c2 = lam_last * (phi - phi0) - lam * (phi_last - phi0)
    if c2 >= 0:
        return SHRINK_MOST * lam
    c1 = lam * lam * (phi_last - phi0) - lam_last * lam_last * (phi - phi0)
    return -0.5 * c1 / c2


def dogleg(problem: Problem, x: FloatArray, f: FloatArray, norm: float, p_newton: FloatArray,
           J: Any, radius: float, ftol: float, xtol: float) -> Tuple[Found, float]:
    """Powell's dogleg in the variables x / x_scale: the Newton step if it lies within the
    trust region, else the path from the Cauchy point towards it, cut at the radius. A point
    that meets ftol is taken, whatever the model predicted."""
    scale, weighted = problem.x_scale, problem.weighted
    # The model is that of the norm the steps are judged by, ||f_scale F||: the gradient of
    # ||f_scale F||^2 / 2 in the scaled variables, and the model's residual weighted alike.
    g = scale * (J.T @ weighted(weighted(f)))
    Jg = weighted(J @ (scale * g))
    gg, JgJg = _dot(g, g), _dot(Jg, Jg)
    newton_s = p_newton / scale
    cauchy_s = -(gg / JgJg) * g if JgJg > 0 else np.zeros_like(g)
    while True:
        if _norm(newton_s) <= radius:
            step_s = newton_s
        elif _norm(cauchy_s) >= radius:
            step_s = -(radius / max(np.sqrt(gg), 1e-300)) * g
        else:
            d = newton_s - cauchy_s
            a, b = _dot(d, d), _dot(cauchy_s, d)
            c = _dot(cauchy_s, cauchy_s) - radius * radius
            tau = (-b + np.sqrt(b * b - a * c)) / a
            step_s = cauchy_s + tau * d
        p = problem.feasible_step(x, scale * step_s)
        length = _norm(p / scale)
        x_new = x + p
        f_new, norm_new = problem.evaluate(x_new)
        predicted = norm * norm - _norm(weighted(f + J @ p)) ** 2
        actual = norm * norm - norm_new * norm_new if np.isfinite(norm_new) else -np.inf
        ratio = actual / predicted if predicted > 0 else -np.inf
        if ratio < 0.25:
            radius = 0.25 * length
        elif ratio > 0.75 and length >= 0.99 * radius:
            radius = 2.0 * radius
        if problem.verbose > 1:
            print(text.TRIAL % (0, length, norm_new, "  (actual / predicted %.3g)" % ratio))
        if ratio > ARMIJO or problem.largest(f_new) <= ftol:
            return (x_new, f_new, norm_new, length), radius
        if radius <= xtol * max(1.0, _norm(x / scale)):
            raise Stop(-6)


def ptc_trial(problem: Problem, x: FloatArray, f: FloatArray, p: FloatArray,
              delta: float) -> Found:
    """One pseudo-transient step, taken whole unless it gives non-finite residuals; its
    "step" is the pseudo-time step dt that made it."""
    x_new = x + p
    f_new, norm_new = problem.evaluate(x_new)
    if not np.isfinite(norm_new):
        return None
    return x_new, f_new, norm_new, delta
