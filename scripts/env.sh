# Sourced by the other scripts: makes .venv (CPython 3.14) and installs the package into it.
# Usage: source scripts/env.sh [extras]   e.g. "test" or "test,bench"
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
if [[ ! -x "$venv/bin/python" ]] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
    python="$(bash "$root/scripts/python314.sh")"
    rm -rf "$venv"
    # ensurepip may pick up an older system wheel; bring pip from the interpreter's own wheel.
    "$python" -m venv --without-pip "$venv"
    pip_wheel=$(ls "$(dirname "$python")"/../share/python-wheels/pip-*.whl 2>/dev/null | head -n1 || true)
    if [[ -n "$pip_wheel" ]]; then
        "$venv/bin/python" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
    else
        "$venv/bin/python" -m ensurepip -q
    fi
fi
extras="${1:-}"
package="$root"
[[ -n "$extras" ]] && package="$root[$extras]"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$package"
export PATH="$venv/bin:$PATH"
