#!/usr/bin/env bash
# Builds and installs the package with its test extra into .venv (provisioning CPython 3.14
# if needed, and only when the sources changed), then runs the tests; arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
quor_pp_env test
cd "$quor_pp_root"
exec python -m pytest -q "$@"
