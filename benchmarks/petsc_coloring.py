"""PETSc's MatColoring (sl, lf, id, greedy, jp) on the benchmark patterns: groups and times.

Run with the system interpreter, which has Debian's petsc4py (PETSc 3.18):

    /usr/bin/python3 benchmarks/petsc_coloring.py [--quick]

petsc4py 3.18 wraps no MatColoring, so the calls go to libpetsc through ctypes, on the
matrix petsc4py builds. Each colouring is checked (no two columns of a group share a row),
and the figures are recorded in petsc_coloring.json (read by grouping.py) and
benchmarks/README.md. A colouring that is not valid (PETSc's greedy and jp types assume a
structurally symmetric matrix) is reported as such and not counted.
"""

import argparse
import json
import ctypes
import pathlib
import statistics
import sys
import time

import numpy as np
import scipy.sparse
from petsc4py import PETSc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import patterns  # noqa: E402

TYPES = ("sl", "lf", "id", "greedy", "jp")


def library():
    """The libpetsc petsc4py has loaded (dlopen hands back the same library)."""
    import ctypes.util

    for name in ("petsc_real", "petsc"):
        path = ctypes.util.find_library(name)
        if path:
            lib = ctypes.CDLL(path)
            if hasattr(lib, "MatColoringCreate"):
                return lib
    raise RuntimeError("libpetsc not found")


def colour(lib, mat, kind):
    """(groups, colours per column) of PETSc's MatColoring of the given type, distance 2."""
    coloring = ctypes.c_void_p()
    iscoloring = ctypes.c_void_p()
    handle = ctypes.c_void_p(mat.handle)
    assert lib.MatColoringCreate(handle, ctypes.byref(coloring)) == 0
    assert lib.MatColoringSetType(coloring, kind.encode()) == 0
    assert lib.MatColoringSetDistance(coloring, 2) == 0
    if lib.MatColoringApply(coloring, ctypes.byref(iscoloring)) != 0:
        # PETSc 3.18 keeps colours in unsigned shorts: more than 65535 groups fail.
        lib.MatColoringDestroy(ctypes.byref(coloring))
        return None, None
    n, groups = ctypes.c_int(), ctypes.c_int()
    values = ctypes.POINTER(ctypes.c_ushort)()
    assert lib.ISColoringGetColors(iscoloring, ctypes.byref(n), ctypes.byref(groups),
                                   ctypes.byref(values)) == 0
    colours = np.ctypeslib.as_array(values, shape=(n.value,)).astype(np.int64)
    lib.ISColoringDestroy(ctypes.byref(iscoloring))
    lib.MatColoringDestroy(ctypes.byref(coloring))
    return groups.value, colours


def cases(quick, fem_folder):
    """The benchmark's patterns; the finite-element ones (scikit-fem is not at hand for the
    system interpreter) read from the files `grouping.py --save-fem` wrote."""
    found = patterns.cases(quick)
    if fem_folder:
        for name, kind, _ in patterns.fem_cases(quick):
            path = pathlib.Path(fem_folder) / (name.replace(" ", "_").replace(",", "") + ".npz")
            if path.exists():
                found.append((name, kind, lambda path=path: scipy.sparse.load_npz(path).tocsr()))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--fem", metavar="DIR", help="the folder of grouping.py --save-fem")
    parser.add_argument("--only", metavar="TEXT",
                        help="only the patterns whose name holds TEXT, merged into the record")
    args = parser.parse_args()
    lib = library()
    version = "PETSc %s, NumPy %s, Python %s" % (".".join(map(str, PETSc.Sys.getVersion())),
                                                np.__version__, sys.version.split()[0])
    print(version)
    print("| pattern | n | " + " | ".join(TYPES) + " | ms (" + ", ".join(TYPES) + ") |")
    out = pathlib.Path(__file__).resolve().parent / "petsc_coloring.json"
    recorded = json.loads(out.read_text())["patterns"] if args.only and out.exists() else {}
    for name, kind, build in cases(args.quick, args.fem):
        if args.only and args.only not in name:
            continue
        pattern = build()
        if pattern.shape[1] > 2 * 10**6:
            continue
        csr = pattern.tocsr()
        mat = PETSc.Mat().createAIJ(csr.shape, csr=(csr.indptr.astype(np.int32),
                                                    csr.indices.astype(np.int32),
                                                    np.ones(csr.nnz)))
        counts, times = [], []
        entry = recorded[name] = {"groups": {}, "ms": {}}
        for kind_name in TYPES:
            runs = []
            for _ in range(args.repeats):
                start = time.perf_counter()
                groups, colours = colour(lib, mat, kind_name)
                runs.append(time.perf_counter() - start)
                if groups is None:
                    break
                if runs[-1] > 1.0:
                    break  # a call over a second is timed once
            if groups is None:
                counts.append("failed")
                times.append("-")
                continue
            if patterns.clashes(csr, colours):
                # PETSc's parallel types assume a structurally symmetric matrix.
                counts.append("invalid")
                times.append("%.1f" % (1e3 * statistics.median(runs)))
                continue
            counts.append(str(groups))
            times.append("%.1f" % (1e3 * statistics.median(runs)))
            entry["groups"][kind_name] = groups
            entry["ms"][kind_name] = 1e3 * statistics.median(runs)
        print("| %s | %d | %s | %s |" % (name, csr.shape[1], " | ".join(counts), ", ".join(times)),
              flush=True)
        mat.destroy()
    if not args.quick:
        out.write_text(json.dumps({"run": version, "patterns": recorded}, indent=1) + "\n")


if __name__ == "__main__":
    main()
