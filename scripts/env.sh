# Makes .venv (CPython 3.14) and installs the package into it, rebuilding only when
# the sources, the interpreter or the requested extras changed.
#
#   bash scripts/env.sh [EXTRAS]   set up, e.g. with EXTRAS "test" or "test,properties"
#   source scripts/env.sh          in another script: defines quor_pp_env and quor_pp_root;
#   quor_pp_env [EXTRAS]           then sets up and puts .venv/bin first on PATH
#
# QUOR_PP_PYTHON=/path/to/python3.14 chooses the interpreter (.venv is made anew when it
# changes); QUOR_PP_REBUILD=1 reinstalls even when nothing changed.
set -euo pipefail
quor_pp_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

quor_pp_log() { printf 'env: %s\n' "$*" >&2; }

# A digest of everything the wheel is built from: a change to any of these files
# (tracked or not, committed or not) means a rebuild.
quor_pp_source_digest() {
    (cd "$quor_pp_root" &&
        find src CMakeLists.txt pyproject.toml -type f ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 |
        LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

# Puts pip into a venv made without it, from the first source that works: the pip
# wheel that comes with the interpreter (Debian's layout), the interpreter's own
# ensurepip, or the latest pip wheel from the package index.
quor_pp_bootstrap_pip() {
    local python="$1" venv="$2" wheel
    wheel=$(ls "$(dirname "$python")"/../share/python-wheels/pip-*.whl 2>/dev/null | sort -V | tail -n1 || true)
    if [[ -n "$wheel" ]] && "$venv/bin/python" "$wheel/pip" install -q --no-index "$wheel"; then
        return 0
    fi
    if "$venv/bin/python" -m ensurepip --default-pip >/dev/null 2>&1; then
        return 0
    fi
    quor_pp_log "$python has neither a pip wheel nor ensurepip; fetching pip from the package index"
    "$venv/bin/python" "$quor_pp_root/scripts/bootstrap_pip.py"
}

quor_pp_env() {
    local extras="${1:-}" venv="$quor_pp_root/.venv" python interpreter
    python="$(bash "$quor_pp_root/scripts/python314.sh")"
    interpreter="$(readlink -f "$python")"

    if [[ ! -x "$venv/bin/python" || "$(cat "$venv/.quor-pp-python" 2>/dev/null)" != "$interpreter" ]] ||
        ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
        quor_pp_log "making .venv with $python"
        rm -rf "$venv"
        "$python" -m venv --without-pip "$venv"
        quor_pp_bootstrap_pip "$python" "$venv"
        echo "$interpreter" > "$venv/.quor-pp-python"
    fi

    # The stamp holds the source digest and the extras installed with it. Nothing is
    # done when the digest matches and the extras asked for are already there; a
    # rebuild keeps the extras installed before.
    local digest installed="" wanted item
    digest="$(quor_pp_source_digest)"
    local -a stamp=()
    [[ -f "$venv/.quor-pp-stamp" ]] && read -r -a stamp < "$venv/.quor-pp-stamp"
    [[ ${#stamp[@]} -gt 1 ]] && installed="${stamp[1]}"
    wanted="$(printf '%s\n' ${installed//,/ } ${extras//,/ } | awk NF | LC_ALL=C sort -u | paste -sd, -)"
    if [[ "${QUOR_PP_REBUILD:-0}" == 1 || ${#stamp[@]} -eq 0 || "${stamp[0]}" != "$digest" ||
          "$wanted" != "$installed" ]] || ! compgen -G "$venv/lib/python3.14/site-packages/quor_pp-*.dist-info" >/dev/null; then
        quor_pp_log "building and installing quor-pp${wanted:+[$wanted]} (sources or extras changed)"
        rm -f "$venv/.quor-pp-stamp"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "$quor_pp_root${wanted:+[$wanted]}"
        echo "$digest $wanted" > "$venv/.quor-pp-stamp"
    fi
    export VIRTUAL_ENV="$venv"
    export PATH="$venv/bin:$PATH"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    quor_pp_env "${1:-}"
    cat >&2 <<EOF
env: ready. Use the environment with
  source .venv/bin/activate     # then: quor-pp --help, python, pytest
or run its programs directly:   .venv/bin/quor-pp --help
EOF
fi
