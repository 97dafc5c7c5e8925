"""Every text `vendrel.solve.root` shows a user: the ends of a solve and the verbose lines."""

# status -> message; success is status 1 alone.
STATUS = {
    1: "max|F| fell to ftol",
    0: "the iteration limit (max_iter) was reached before max|F| fell to ftol",
    -1: "the residual evaluation limit (max_nfev) was reached before max|F| fell to ftol",
    -2: "the line search found no step that decreases ||F||, also with a new Jacobian",
    -3: "the Jacobian is singular: its factorisation or solve failed (%s)",
    -4: "the residual at x0 has non-finite entries",
    -5: "the step fell below xtol before max|F| fell to ftol: the iteration has stalled",
    -6: "the trust region shrank below xtol before max|F| fell to ftol",
    -7: "callback asked to stop before max|F| fell to ftol",
}

HEADER = "%5s  %11s  %11s  %9s  %11s  %6s  %-10s  %9s" % (
    "iter", "max|F|", "||F||", "step", "max|dx|", "nfev", "Jacobian", "linear s")
ROW = "%5d  %11.4e  %11.4e  %9.3g  %11.4e  %6d  %-10s  %9.3f"
FIRST_ROW = "%5d  %11.4e  %11.4e  %9s  %11s  %6d  %-10s  %9s"
TRIAL = "       trial %2d: step %9.3g  ||F|| %11.4e%s"
NEW_JACOBIAN = "       a new Jacobian: %s"
SUMMARY = ("%s: %d iterations, %d residual evaluations (%d in %d Jacobians), "
           "%d factorisations; %.3f s: residuals %.3f, Jacobians %.3f, linear algebra %.3f")
