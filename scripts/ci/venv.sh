# Sourced by the CI jobs: make_venv DIR PYTHON [PIP_WHEEL] makes a virtual environment
# with pip, unless DIR already holds one for the same interpreter. Without a wheel,
# pip comes from the interpreter's own wheel, or from ensurepip.
make_venv() {
    local dir=$1 python=$2 wheel=${3:-}
    local want have
    want=$("$python" -c 'import sys; print(sys.version, sys.abiflags)')
    have=$("$dir/bin/python" -c 'import sys; print(sys.version, sys.abiflags)' 2>/dev/null || true)
    if [[ "$want" == "$have" ]] && "$dir/bin/python" -m pip --version >/dev/null 2>&1; then
        return 0
    fi
    rm -rf "$dir"
    "$python" -m venv --without-pip "$dir"
    if [[ -z "$wheel" ]]; then
        wheel=$(ls "$(dirname "$python")"/../share/python-wheels/pip-*.whl 2>/dev/null | head -n1 || true)
    fi
    if [[ -n "$wheel" ]]; then
        "$dir/bin/python" "$wheel/pip" install -q --no-index --disable-pip-version-check "$wheel"
    else
        "$dir/bin/python" -m ensurepip --default-pip >/dev/null
    fi
}
