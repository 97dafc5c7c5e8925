"""The tracing error and every text it carries, kept in one place."""

PERTURB = 'find the pattern by perturbation instead (method="perturb")'


class TracingError(Exception):
    """The residual function did something whose dependencies cannot be traced.

    The message names the operation, and so does the attribute `operation` (for a warning that
    falls back to perturbation). Tracing refuses rather than guesses, so a traced pattern never
    misses an entry.
    """

    def __init__(self, message: str, operation: str = "") -> None:
        super().__init__(message)
        self.operation = operation or message.split(":")[0]


def unsupported(operation: str, why: str = "") -> TracingError:
    """A refusal naming `operation`, with the reason when there is more to say than its name."""
    return TracingError("%s cannot be traced%s; %s" % (operation, ": " + why if why else "",
                                                      PERTURB), operation)


BRANCH = (
    "the residual function branches on a traced value (an `if`, `while`, `and`/`or`, `not`, "
    "Python's max()/min()/sorted(), or another truth test): while tracing, values are not "
    "known, only which inputs they depend on, and a pattern taken down one side of a branch "
    "would miss the entries of the other. Write the choice with np.where, np.maximum, "
    "np.minimum or np.clip, which trace as the union of both sides, or " + PERTURB)

TO_NUMBER = (
    "a traced value was turned into a plain number (float(), math.*, or assignment into an "
    "array made by np.zeros/np.empty/np.array): plain numbers cannot carry dependencies. Use "
    "NumPy's functions (np.sin, np.exp, ...) instead of math.*, make result arrays with "
    "np.zeros_like(x) / np.empty_like(x), or " + PERTURB)

TO_INTEGER = (
    "a traced value was used as an integer (an index, a size, range()): positions that "
    "depend on x change the pattern from point to point; " + PERTURB)

TO_ARRAY = (
    "np.asarray/np.array/np.r_ (or a library calling them) turns a traced array into plain "
    "numbers, which cannot carry dependencies. Pass the array on as it is (it is already an "
    "array), join arrays with np.concatenate/np.stack, or " + PERTURB)

TRACED_INDEX = (
    "indexing with traced values (positions or masks computed from x, as argsort or "
    "x > 0 give them)", "the positions would depend on x")

PLAIN_OUT = (
    "writing traced values into a plain NumPy array (out= or an in-place operator on an "
    "array made by np.zeros/np.empty)",
    "it cannot hold dependencies; make the array with np.zeros_like(x) or np.empty_like(x)")

SCALAR_SETITEM = "assignment into a traced scalar"

# What `TracingError.operation` says for the refusals above, which are not NumPy functions.
OPERATIONS = {
    BRANCH: "a branch on a traced value",
    TO_NUMBER: "a traced value turned into a plain number",
    TO_INTEGER: "a traced value used as an integer",
    TO_ARRAY: "a traced array turned into a plain array",
}


def refusal(text: str) -> TracingError:
    return TracingError(text, OPERATIONS[text])
