#!/usr/bin/env bash
# Builds and installs the package into .venv (provisioning CPython 3.14 if needed, and only
# when the sources changed), then post-processes the sample run shipped in examples/data.
# Arguments are passed on to the example.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
quor_pp_env
cd "$quor_pp_root"
exec python examples/sample_run.py "$@"
