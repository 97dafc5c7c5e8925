"""What a user could write instead: both methods in plain Python and NumPy, printing the
same lines. `say` is the print function to use (the benchmarks record or replay it)."""

import numpy as np

STEP = 1e-06


def compute_pattern(residuals, x0, say=print):
    """The pattern of residuals' Jacobian at x0, as (rows, cols) int32 arrays."""
    n = len(x0)
    rows, cols = [], []
    base = np.array(residuals(x0), dtype=float)
    for i in range(n):
        saved = x0[i]
        x0[i] = saved + STEP
        try:
            perturbed = residuals(x0)
        finally:
            x0[i] = saved
        for j in np.flatnonzero(perturbed[:n] != base[:n]).tolist():
            say(j, i, "is a thing")
            rows.append(j)
            cols.append(i)
    return np.array(rows, dtype=np.intc), np.array(cols, dtype=np.intc)


def find_groups(rows, cols, say=print):
    """Greedy groups of structurally orthogonal columns, as position arrays."""
    rows, cols = rows.tolist(), cols.tolist()
    n = len(cols)
    say(cols[n - 1])
    groups = [[0]]
    for p in range(1, n):
        if cols[p] != cols[p - 1]:
            groups.append([])
        groups[-1].append(p)
    say(groups)
    for group in groups:
        for p in group:
            say(rows[p], end=" ")
        say("")
    merged = [0] * len(groups)
    for i in range(1, len(groups)):
        for j in range(i):
            say("trying to merge colum ", i, "in column ", j)
            if merged[j]:
                say(j, "already merged")
                continue
            shared = False
            for a in groups[i]:
                say("row ii", rows[a])
                for b in groups[j]:
                    say("row jj", rows[b])
                    if rows[a] == rows[b]:
                        shared = True
                        break
                if shared:
                    break
            if not shared:
                say("should merge")
                merged[i] = 1
                groups[j].extend(groups[i])
                break
    say(groups)
    result = []
    for k, group in enumerate(groups):
        say(k, "merged", merged[k])
        if not merged[k]:
            result.append(np.array(group, dtype=int))
    say(result)
    return result
