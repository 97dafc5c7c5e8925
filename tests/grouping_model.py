"""An independent pure-Python statement of the column grouping, for comparison."""

import io

import numpy as np


def group_columns(rows, cols):
    """The trace find_groups prints and the arrays it returns, for valid input."""
    out = io.StringIO()

    def say(*objects, end="\n"):
        print(*objects, end=end, file=out)

    result = find_groups(rows, cols, say)
    return out.getvalue(), result


def find_groups(rows, cols, say=print):
    """The grouping, printing its trace through `say` (print's signature)."""
    rows, cols = [int(r) for r in rows], [int(c) for c in cols]
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
