#!/usr/bin/env bash
# The test suite against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the interpreter itself is not instrumented: the
# ASan runtime is preloaded). Any sanitizer report fails the job and is printed,
# also one from a subprocess that a test started.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
source scripts/ci/venv.sh

venv=$root/.venv-asan
make_venv "$venv" "$(bash scripts/python314.sh)"
# The module and what its tests need, nothing more: other packages' extension modules
# (matplotlib's C++ font code, SciPy) were not built for the preloaded ASan runtime and
# can abort under it on their own exceptions. Tests of optional features skip.
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --config-settings=build-dir=build/asan --config-settings=install.strip=false \
    --config-settings=cmake.define.CMAKE_CXX_FLAGS="$flags" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    . pytest numpy
module=$("$venv/bin/python" -c 'import importlib.util; print(importlib.util.find_spec("_quor_pp").origin)')
if [[ $(ldd "$module") != *libasan* ]]; then
    echo "sanitizers: $module is not instrumented" >&2
    exit 1
fi

reports=$root/build/asan/reports
rm -rf "$reports"
mkdir -p "$reports"
export LD_PRELOAD=$(g++ -print-file-name=libasan.so)
# The interpreter keeps memory at exit by design: no leak detection. Every report
# aborts the process. ASan's reports also go to files, so that one from a test's
# subprocess is seen too; UBSan writes to the terminal, which pytest therefore
# leaves alone (--capture=sys) so that a report is not lost with the process.
# Stack-use-after-return checking stays off: its substitute stack frames do not keep
# the 64-byte alignment that the AVX-512 window search's vector locals rely on.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1:log_path=$reports/asan
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
# Python's objects from malloc, so that ASan sees their lifetimes too.
export PYTHONMALLOC=malloc

show_reports() {
    local found=1 f
    for f in "$reports"/*; do
        [[ -e $f ]] || continue
        found=0
        echo "==== sanitizer report $f" >&2
        cat "$f" >&2
    done
    return $found
}

# The job must see a report: a deliberate fault in the interpreter writes one.
if { "$venv/bin/python" -c 'import ctypes; ctypes.string_at(1)'; } >/dev/null 2>&1 || ! ls "$reports"/asan.* >/dev/null 2>&1; then
    echo "sanitizers: a deliberate fault left no report; reports would go unseen" >&2
    exit 1
fi
rm -f "$reports"/*

# Limiting the address space cannot work under ASan, which reserves terabytes: the two
# tests that do it are left out.
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys \
    --deselect tests/test_boundary.py::test_exhausted_memory_is_a_memory_error \
    --deselect tests/test_streamed_tables.py::test_exhausted_memory_while_reading_is_a_memory_error \
    "$@" || status=$?
if show_reports || [[ $status -ne 0 ]]; then
    echo "sanitizers: FAILED (pytest status $status), see the reports above" >&2
    exit 1
fi
