#!/usr/bin/env bash
# Runs the test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# or under valgrind memcheck, from a clean clone:
#
#   tools/sanitize.sh asan       # the whole suite; any sanitizer report fails the run
#   tools/sanitize.sh valgrind   # the modules' own tests; fails on an invalid read or write
#                                # whose stack passes through either compiled module
set -euo pipefail
mode=${1:-asan}
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
# shellcheck disable=SC1091
. "$work/venv/bin/activate"
python -m pip install --quiet --upgrade pip

case "$mode" in
asan)
    SKBUILD_CMAKE_DEFINE="VENDREL_SANITIZE=ON" python -m pip install --quiet ".[test]"
    # The C++ runtime is preloaded with ASan's, so that ASan finds the real __cxa_throw
    # when C++ code in other extensions (matplotlib's) throws.
    runtime="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
    # The interpreter is not instrumented: its own allocations are not leak-checked, and
    # PYTHONMALLOC=malloc lets ASan see every object's bounds.
    export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    # The packaging test builds its own, uninstrumented wheel. (The tests run compilers
    # without the preloaded runtime.)
    LD_PRELOAD="$runtime" PYTHONMALLOC=malloc VENDREL_SANITIZED=1 VENDREL_FUZZ_PROGRAMS=400 \
        python -m pytest tests -s -q -p no:cacheprovider -k "not packaging"
    ;;
valgrind)
    python -m pip install --quiet ".[test]"
    log=${VALGRIND_LOG:-$work/valgrind.log}
    PYTHONMALLOC=malloc valgrind --tool=memcheck --log-file="$log" --num-callers=40 \
        python -m pytest -q -p no:cacheprovider tests/test_arguments.py tests/test_pattern.py \
        tests/test_grouping.py tests/test_reporting.py tests/test_type.py \
        tests/test_compiled_callers.py tests/test_column_grouping.py tests/test_jacobian_memory.py \
        -k "not releases_the_interpreter_lock and not large_jacobians" \
        || { echo "the tests failed under valgrind"; exit 1; }
    python - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
errors = re.split(r"\n==\d+== \n", text)
ours = [e for e in errors if re.search(r"Invalid (read|write)", e) and re.search(r"sparse_solver|_grouping|_passes|_linalg", e)]
summary = re.search(r"ERROR SUMMARY: .*", text)
print("valgrind:", summary.group(0) if summary else "no summary (did it run?)")
print("valgrind: %d error blocks in all (the interpreter's own uninitialised-value reports "
      "among them), %d invalid reads/writes through the module"
      % (sum(1 for e in errors if re.search(r"==\d+== (Invalid|Conditional|Use of)", e)), len(ours)))
if not summary:
    sys.exit(1)
for block in ours[:5]:
    print(block)
sys.exit(1 if ours else 0)
PY
    ;;
*)
    echo "usage: $0 [asan|valgrind]" >&2
    exit 2
    ;;
esac
