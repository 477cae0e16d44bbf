#!/usr/bin/env bash
# Builds and installs the package with its plot extra into .venv (provisioning CPython 3.14
# if needed, and only when the sources changed), then runs `quor-pp analyze`.
#
#   bash scripts/example.sh              the sample run in examples/data/run, plots in examples/plots
#   bash scripts/example.sh RUN [OPTS]   any run: the arguments go to `quor-pp analyze` as they are
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
quor_pp_env plot
if [[ $# -eq 0 ]]; then
    cd "$quor_pp_root"
    set -- examples/data/run --charge Na=1,Cl=-1 --plot examples/plots
    echo "\$ quor-pp analyze $*" >&2
fi
exec quor-pp analyze "$@"
