#!/usr/bin/env bash
# The scale-out page's batch job, examples/dask_job.sh, run as a user runs it but on this
# machine: it starts `dask scheduler` and one `dask worker` as processes of their own, then
# `quor-pp analyze` on the sample run and `quor-pp sweep` on the sample sweep with
# --scheduler. Their tables must be, byte for byte, those of the same commands run
# serially; the job must end within its time and leave no process of the cluster behind.
# Then the job once more with workers that never start: one line and status 1.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../env.sh"
quor_pp_env test
cd "$quor_pp_root"

job_limit=120      # s for the whole job (it takes a few)
worker_timeout=30  # s the commands wait for the worker before they fail

work=$(mktemp -d)
job=""         # the job's process id, which is also its process group's (timeout(1) leads one)
job_ended=0

# The processes of the job still running (zombies, ended but not yet reaped, are not).
left_running() {
    [[ -n $job ]] && ps -e -o pid=,pgid=,stat=,args= | awk -v group="$job" '$2 == group && $3 !~ /^Z/'
}

# Waits for the job's processes to end (the helpers of the worker's process pool may take a
# moment to notice its end); kills those still running after 5 s and says so (status 1).
nothing_left() {
    local _
    for _ in {1..10}; do
        [[ -z $(left_running) ]] && return 0
        sleep 0.5
    done
    echo "dask cluster: processes of the job still running, killed:" >&2
    left_running >&2
    kill -KILL -- "-$job" 2>/dev/null || true
    return 1
}

# Whatever ends this script (success, failure, Ctrl-C, SIGTERM), nothing of the job outlives it.
finish() {
    local status=$?
    trap - EXIT INT TERM
    if [[ -n $job && $job_ended -eq 0 ]]; then  # interrupted: the job is stopped as a batch system would
        kill -TERM -- "-$job" 2>/dev/null || true
    fi
    nothing_left || status=1
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs the job script on the sample run and sweep, its results in OUT, in a process group of
# its own, and waits for it; sets `status` to its exit status.
run_job() {  # OUT ON_EVERY_NODE WORKER_TIMEOUT
    job_ended=0
    # One scheduler and one single-threaded worker here, even when CI itself runs in a batch job.
    env -u SLURM_JOB_ID -u SLURM_CPUS_PER_TASK -u NCPUS RUNS=examples/data/run CHARGES=Na=1,Cl=-1 \
        SWEEP=examples/data/sweep OUT="$1" ON_EVERY_NODE="$2" WORKER_TIMEOUT="$3" \
        timeout -k 5 "$job_limit" bash examples/dask_job.sh >"$1.out" 2>"$1.err" &
    job=$!
    status=0
    wait "$job" || status=$?
    job_ended=1
    nothing_left
}

show_logs() {
    local log
    for log in "$work"/dask/scheduler.log "$work"/dask/workers.log; do
        [[ -f $log ]] && { echo "--- $log (last lines)"; tail -n 15 "$log"; } >&2
    done
}

start=$SECONDS
mkdir -p "$work/serial"
quor-pp analyze examples/data/run --charge Na=1,Cl=-1 --csv "$work/serial/run.csv" -q >/dev/null
quor-pp sweep examples/data/sweep --csv "$work/serial/sweep.csv" -q >/dev/null

run_job "$work/dask" "" "$worker_timeout"
if [[ $status -ne 0 ]]; then
    cat "$work/dask.out" "$work/dask.err" >&2
    show_logs
    if [[ $status -eq 124 || $status -eq 137 ]]; then
        echo "dask cluster: the job did not end within ${job_limit} s" >&2
    else
        echo "dask cluster: the job failed with status $status" >&2
    fi
    exit 1
fi

for table in run.csv sweep.csv; do
    if ! cmp "$work/serial/$table" "$work/dask/$table"; then
        diff "$work/serial/$table" "$work/dask/$table" | head -n 20 >&2
        echo "dask cluster: $table on the cluster differs from the serial one" >&2
        exit 1
    fi
done

# A job whose workers never start (their launcher fails): the command gives up after
# --worker-timeout with status 1 and one line, and the job ends.
run_job "$work/no_worker" false 2
expected="quor-pp analyze: the Dask scheduler at tcp://[^ ]+ has had no worker for 2 s: 4 of 4 replicas were not analysed"
if [[ $status -ne 1 ]] || ! grep -Eqx "$expected" "$work/no_worker.err" || [[ $(wc -l <"$work/no_worker.err") -ne 1 ]]; then
    cat "$work/no_worker.err" >&2
    echo "dask cluster: without a worker, the job ended with status $status and the lines above, not one line" >&2
    exit 1
fi
echo "dask cluster: the job's run and sweep tables equal the serial ones; without a worker it fails in one" \
    "line; $((SECONDS - start))s"
