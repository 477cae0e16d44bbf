#!/usr/bin/env bash
#SBATCH --job-name=quor-pp
#SBATCH --nodes=4
#SBATCH --ntasks-per-node=1
#SBATCH --cpus-per-task=16
#SBATCH --time=01:00:00
#
# quor-pp on a Dask cluster that lives as long as one batch job: the scheduler and
# quor-pp run on the job's first node, one `dask worker` on every node.
#
#   sbatch examples/dask_job.sh
#
# Every path below must be on a filesystem that every node sees at the same path
# (the scheduler file, the runs, the results), and every node must run the same
# quor-pp: the environment this script runs in (activate it before sbatch, or here)
# is the one srun starts the workers in. The inputs are the variables read below
# (sbatch --export=ALL,RUNS=...,SWEEP=... sets them); CI runs this very file on one
# machine, with ON_EVERY_NODE empty (scripts/ci/dask_cluster.sh).
set -euo pipefail

runs=${RUNS:-runs/NaCl_1m}       # the replicas of one run
charges=${CHARGES:-Na=1,Cl=-1}   # its ions' charges
sweep=${SWEEP:-runs}             # a sweep: one directory per state point
out=${OUT:-results}              # the tables, and the logs of the cluster
worker_timeout=${WORKER_TIMEOUT:-300}  # s that quor-pp waits for a first worker
# How a worker is started on every node (empty: one worker on this machine).
on_every_node=${ON_EVERY_NODE-srun --ntasks-per-node=1}
# One worker process per core of a node (SLURM's or PBS's count): with the GIL,
# processes are what run in parallel.
processes=${SLURM_CPUS_PER_TASK:-${NCPUS:-1}}

mkdir -p "$out"
scheduler_file=$out/scheduler-${SLURM_JOB_ID:-$$}.json
rm -f "$scheduler_file"

# --port 0: any free port, so that two jobs on one node do not collide; the scheduler
# file tells the workers and quor-pp where it is.
dask scheduler --scheduler-file "$scheduler_file" --port 0 --no-dashboard >"$out/scheduler.log" 2>&1 &
scheduler=$!
# shellcheck disable=SC2086  # $on_every_node is a command and its options
$on_every_node dask worker --scheduler-file "$scheduler_file" --nworkers "$processes" --nthreads 1 \
    --no-dashboard >"$out/workers.log" 2>&1 &
workers=$!
# The cluster ends with this script, whatever the commands' outcome.
trap 'kill "$workers" "$scheduler" 2>/dev/null || true; wait' EXIT

# The scheduler writes its address into the file once it listens.
for _ in {1..120}; do
    if [[ -s $scheduler_file ]] || ! kill -0 "$scheduler" 2>/dev/null; then break; fi
    sleep 0.5
done
if [[ ! -s $scheduler_file ]]; then
    echo "dask_job.sh: the Dask scheduler did not start; see $out/scheduler.log" >&2
    exit 1
fi

# quor-pp waits for the workers (up to --worker-timeout) and fails with one line without them.
quor-pp analyze "$runs" --charge "$charges" --scheduler "$scheduler_file" --worker-timeout "$worker_timeout" \
    --csv "$out/run.csv" -q
quor-pp sweep "$sweep" --scheduler "$scheduler_file" --worker-timeout "$worker_timeout" --csv "$out/sweep.csv" -q
