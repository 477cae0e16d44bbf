#!/usr/bin/env bash
# The module on free-threaded CPython 3.14 with the GIL off: importing must not turn
# the GIL back on, the test suite must pass, and the concurrency tests run again a
# few times (they stress harder there). Skipped, with a message, when the
# interpreter tool (../shared/tools/python314t from the repository root, or
# $QUOR_PP_PYTHON314T_TOOL) is not there.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
source scripts/ci/venv.sh

tool=${QUOR_PP_PYTHON314T_TOOL:-$root/../shared/tools/python314t}
if [[ ! -f $tool ]]; then
    echo "free-threaded: SKIPPED, no $tool"
    exit 0
fi
python=$(bash "$tool")
wheel=$(ls "$(dirname "$tool")"/pip-*.whl 2>/dev/null | head -n1 || true)
venv=$root/.venv-ft
make_venv "$venv" "$python" "$wheel"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
# The core tests need pytest; NumPy has free-threaded wheels, and tests of optional
# features skip without their packages, so only these two are installed.
"${pip[@]}" pytest
"${pip[@]}" numpy || echo "free-threaded: NumPy unavailable, its tests will skip"
"${pip[@]}" .

unset PYTHON_GIL
gil=$("$venv/bin/python" -c 'import sys, _quor_pp, quor_pp, quor_pp._native; print(sys._is_gil_enabled())')
if [[ $gil != False ]]; then
    echo "free-threaded: importing the package turned the GIL on" >&2
    exit 1
fi

export PYTHON_GIL=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
for run in 1 2 3; do
    echo "free-threaded: concurrency tests, run $run"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_concurrency.py
done
