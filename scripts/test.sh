#!/usr/bin/env bash
# Builds and installs the module into .venv (provisioning CPython 3.14 if needed), then runs the tests.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh" test
cd "$root"
exec python -m pytest -q "$@"
