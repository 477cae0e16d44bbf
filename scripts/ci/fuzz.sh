#!/usr/bin/env bash
# Coverage-guided fuzzing of the readers' core: builds the libFuzzer targets of fuzz/
# with Debian's clang and runs each for a bounded time. A crash or a failed check
# stops the job; the input is kept under build/fuzz/artifacts/.
#
# Usage: scripts/ci/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60, all targets)
# Longer runs by hand, one target at a time; FUZZ_FLAGS adds libFuzzer options:
#   FUZZ_FLAGS=-runs=10000000 nice -n 10 scripts/ci/fuzz.sh 86400 number
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(read_quor_file table_reader parse_thermoprop parse_bond_angle
                                       parse_volume_density read_group_count number)

fuzzer_runtime() {
    local rt
    rt=$(clang++ -print-resource-dir 2>/dev/null)/lib/linux/libclang_rt.fuzzer-x86_64.a
    [[ -f $rt ]]
}
if ! command -v clang++ >/dev/null 2>&1 || ! fuzzer_runtime; then
    echo "fuzz: installing clang and libFuzzer"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        clang libclang-rt-14-dev >/dev/null
fi

build=build/fuzz
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build "$build" -j2 >/dev/null

# Seeds: the hand-made ones, and for the readers every file of the sample data.
mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    mkdir -p "$corpus"
    seeds=(fuzz/seeds/"$target")
    if [[ $target != number ]]; then
        mkdir -p "$build/samples"
        shopt -s globstar nullglob
        for f in examples/data/**/*; do
            [[ -f $f ]] && cp "$f" "$build/samples/$(echo "$f" | tr / _)"
        done
        shopt -u globstar nullglob
        seeds+=("$build/samples")
    fi
    max_len=2048
    [[ $target == number ]] && max_len=512
    echo "fuzz: $target for ${seconds}s"
    log=$build/$target.log
    if ! "$build/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 ${FUZZ_FLAGS:-} -artifact_prefix="$build/artifacts/$target-" \
            "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz: $target FAILED; the input is in $build/artifacts/" >&2
        exit 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log" | sed "s/^/fuzz: $target /"
done
