#!/usr/bin/env bash
# Builds and installs the module into .venv (provisioning CPython 3.14 if needed), then
# post-processes the sample run shipped in examples/data.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$root"
exec python examples/sample_run.py "$@"
