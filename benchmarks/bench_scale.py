"""Many replicas at once: serial, -j 2 threads on free-threaded Python, -j 2 processes, a 2-worker Dask LocalCluster.

Run from the repository root, after `bash scripts/test.sh` (or `bash scripts/env.sh`) has made .venv:

    .venv/bin/pip install 'dask[distributed]'
    nice -n 10 .venv/bin/python benchmarks/bench_scale.py [--replicas 64] [--repeat 5] [--ft PYTHON]

The run is `--replicas` copies of the sample run's four replicas (real files, read
each time). Each engine analyses all of them with `quor_pp.analyze` (curves kept,
as for plots); the table gives the best wall time of `--repeat` runs and the
speed-up over the serial run of the same interpreter. The free-threaded rows need
an interpreter with the GIL off that has quor-pp installed (`--ft`, default
.venv-ft/bin/python as scripts/ci/free_threaded.sh makes it); they are left out
without one. The machine may be shared: the load average is printed beside each
row, the engines take turns, and only the best of the repeats counts.

With `--sweep N` (say 10000) it simulates a sweep of N replicas instead: N
directories linked to the sample's four replicas, analysed without curves (no plots)
on a 2-worker LocalCluster in tasks of a batch of replicas (`--batch`, default:
sized from the workers), and, for comparison, one replica per task on the first
`--unbatched` of them. It prints one replica's in-process time, replicas per
second, bytes per task and the scheduler's overhead per replica.

The scaling estimate at the end takes the serial time per replica and the bytes
each Dask task moves (its arguments there, its pickled result back) to what
10 000 replicas on 100 workers would take.
"""

import argparse
import json
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import tempfile
import time

import quor_pp

ROOT = pathlib.Path(__file__).parents[1]
RUN = ROOT / "examples" / "data" / "run"
CHARGES = {"Na": 1.0, "Cl": -1.0}


def make_run(directory, replicas):
    sources = quor_pp.find_replicas(RUN)
    paths = []
    for k in range(replicas):
        target = os.path.join(directory, f"replica_{k + 1}")
        shutil.copytree(sources[k % len(sources)], target)
        paths.append(target)
    return paths


def best(calls, repeat):
    """{name: (first, best, load, cores)} of the calls, the engines taking turns `repeat` times.

    Wall times in s. Taking turns gives every engine the same chances on a machine
    whose load changes; the load is the 1-minute average at the best run, and
    cores the CPU time of this process over the wall time of that run (how many
    cores its threads had; a pool of processes or a cluster does its work elsewhere).
    """
    times = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            load = os.getloadavg()[0]
            start, cpu = time.perf_counter(), time.process_time()
            call()
            wall = time.perf_counter() - start
            times[name].append((wall, load, (time.process_time() - cpu) / wall))
    return {name: (runs[0][0], *min(runs)) for name, runs in times.items()}


def measure_here(paths, repeat, engines):
    """{name: (first, best, load)} of the engines on this interpreter."""
    return best({name: (lambda options=options: quor_pp.analyze(paths, charges=CHARGES, **options))
                 for name, options in engines}, repeat)


def measure_dask(paths, repeat, processes):
    import distributed

    start = time.perf_counter()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes, dashboard_address=None,
                                  memory_limit="2GiB", silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        startup = time.perf_counter() - start
        timing = best({"dask": lambda: quor_pp.analyze(paths, charges=CHARGES, client=client)}, repeat)["dask"]
    return timing, startup


def free_threaded(python, directory, repeat):
    """The free-threaded rows, measured by this script run under `python`."""
    command = [python, __file__, "--worker", directory, "--repeat", str(repeat)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=1800,
                            env={**os.environ, "PYTHON_GIL": "0"})
    if result.returncode != 0:
        print(f"free-threaded run failed:\n{result.stderr}", file=sys.stderr)
        return {}
    return {name: tuple(value) for name, value in json.loads(result.stdout).items()}


def worker(directory, repeat):
    paths = quor_pp.find_replicas(directory)
    assert not sys._is_gil_enabled(), "the free-threaded rows need the GIL off"
    print(json.dumps(measure_here(paths, repeat, [("serial", {}), ("threads", {"jobs": 2})])))


def sizes(paths):
    """Bytes of one replica's input files, of a task's arguments, and of its pickled outcome with and without curves."""
    settings = quor_pp.AnalysisSettings(charges=CHARGES)
    files = sum(entry.stat().st_size for entry in os.scandir(paths[0]))
    arguments = len(pickle.dumps((paths[0], settings)))
    full, = quor_pp.map_replicas([(paths[0], settings)])
    light, = quor_pp.map_replicas([(paths[0], settings)], curves=False)
    return files, arguments, len(pickle.dumps(full)), len(pickle.dumps(light))


def linked_sweep(directory, replicas):
    """`replicas` directories, each a link to one of the sample's replicas."""
    sources = quor_pp.find_replicas(RUN)
    paths = []
    for k in range(replicas):
        target = os.path.join(directory, f"replica_{k + 1}")
        os.symlink(os.path.abspath(sources[k % len(sources)]), target)
        paths.append(target)
    return paths


def one_replica(paths, repeat):
    """Best time of one replica analysed in this process (curves kept), over `repeat` rounds of 50."""
    from quor_pp.analysis.transport import analyze_replica

    settings = quor_pp.AnalysisSettings(charges=CHARGES)
    chosen = paths[:50]
    for path in chosen:
        analyze_replica(path, settings)
    fastest = []
    for _ in range(repeat):
        start = time.perf_counter()
        for path in chosen:
            analyze_replica(path, settings)
        fastest.append((time.perf_counter() - start) / len(chosen))
    return min(fastest), sorted(fastest)[len(fastest) // 2]


def sweep(replicas, batch, unbatched, repeat):
    import distributed

    from quor_pp.workflow.parallel import _pickled_batch, _threads_of, batch_size, map_replicas

    settings = quor_pp.AnalysisSettings(charges=CHARGES)
    with tempfile.TemporaryDirectory() as directory:
        paths = linked_sweep(directory, replicas)
        best_one, median_one = one_replica(paths, repeat)
        print(f"one replica in this process: best {best_one * 1e3:.3f} ms, median {median_one * 1e3:.3f} ms "
              f"({1 / best_one:.0f} replicas per second per core); load {os.getloadavg()[0]:.2f}", flush=True)
        tasks = [(path, settings) for path in paths]
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      memory_limit="2GiB", silence_logs=40) as cluster, \
                distributed.Client(cluster) as client:
            size = batch_size(len(tasks), _threads_of(client), batch)
            one = tasks[:size]
            sent = len(pickle.dumps(one))
            back = len(_pickled_batch(one, curves=False))
            print(f"{replicas} linked replicas, 2 worker processes: {size} replicas per task, "
                  f"{-(-replicas // size)} tasks; per task {sent / 1024:.1f} KiB out and {back / 1024:.1f} KiB "
                  f"back ({sent / size:.0f} B and {back / size / 1024:.1f} KiB per replica)", flush=True)
            rows = []
            for name, chosen, per_task in ((f"batches of {size}", tasks, size), ("one per task", tasks[:unbatched], 1)):
                start, cpu = time.perf_counter(), time.process_time()
                outcomes = map_replicas(chosen, client=client, curves=False, batch=per_task)
                wall, cpu = time.perf_counter() - start, time.process_time() - cpu
                assert len(outcomes) == len(chosen) and all(isinstance(o, quor_pp.ReplicaResult) for o in outcomes)
                # Beyond the analysis shared by the two workers: the scheduler's and the client's share.
                overhead = max(wall - len(chosen) * best_one / 2, 0.0) / len(chosen)
                rows.append((name, len(chosen), wall, len(chosen) / wall, overhead, cpu / len(chosen)))
        print(f"\n{'tasks':20} {'replicas':>9} {'wall s':>8} {'replicas/s':>11} {'overhead ms/replica':>20} "
              f"{'client cpu ms/replica':>22}")
        for name, count, wall, rate, overhead, cpu in rows:
            print(f"{name:20} {count:9d} {wall:8.2f} {rate:11.0f} {overhead * 1e3:20.3f} {cpu * 1e3:22.3f}")
        print("(overhead: wall time less the in-process analysis time shared by 2 workers, per replica; the "
              "machine may be shared: see the load above)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--replicas", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("--ft", default=str(ROOT / ".venv-ft" / "bin" / "python"),
                        help="a free-threaded Python with quor-pp installed")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--sweep", type=int, help="simulate a sweep of this many linked replicas on Dask")
    parser.add_argument("--batch", type=int, help="with --sweep: replicas per Dask task (default: sized from workers)")
    parser.add_argument("--unbatched", type=int, default=1000,
                        help="with --sweep: replicas run one per task, for comparison")
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.repeat)
        return
    if args.sweep:
        sweep(args.sweep, args.batch, args.unbatched, min(args.repeat, 7))
        return

    with tempfile.TemporaryDirectory() as directory:
        paths = make_run(directory, args.replicas)
        print(f"{args.replicas} replicas of the sample run's size; {os.cpu_count()} cores; "
              f"Python {sys.version.split()[0]} (GIL {'on' if sys._is_gil_enabled() else 'off'})", flush=True)
        gil = measure_here(paths, args.repeat, [("serial", {}), ("threads", {"jobs": 2, "engine": "threads"}),
                                                ("processes", {"jobs": 2, "engine": "processes"})])
        rows = [("GIL build", "serial", gil["serial"], gil["serial"]),
                ("GIL build", "-j 2 threads", gil["threads"], gil["serial"]),
                ("GIL build", "-j 2 processes", gil["processes"], gil["serial"])]
        if os.path.exists(args.ft):
            ft = free_threaded(args.ft, directory, args.repeat)
            if ft:
                rows += [("3.14t, GIL off", "serial", ft["serial"], ft["serial"]),
                         ("3.14t, GIL off", "-j 2 threads", ft["threads"], ft["serial"])]
        else:
            print(f"(no free-threaded Python at {args.ft}: its rows are left out)")
        startups = {}
        try:
            for processes in (True, False):
                timing, startups[processes] = measure_dask(paths, args.repeat, processes)
                what = "processes" if processes else "threads"
                rows.append(("GIL build", f"LocalCluster, 2 worker {what}", timing, gil["serial"]))
        except ImportError:
            print("(distributed is not installed: the LocalCluster rows are left out)")

        print(f"\n{'interpreter':16} {'engine':32} {'first s':>8} {'best s':>8} {'speed-up':>9} {'load':>5} "
              f"{'cores':>5}")
        for interpreter, engine, (first, fastest, load, cores), reference in rows:
            shown = f"{cores:5.2f}" if "processes" not in engine and "Cluster" not in engine else "    -"
            print(f"{interpreter:16} {engine:32} {first:8.3f} {fastest:8.3f} {reference[1] / fastest:8.2f}x "
                  f"{load:5.2f} {shown}")
        print("(first: the first of the repeats, with a pool's start; speed-up: best serial / best, same "
              "interpreter; load: 1-minute load average at the best run; cores: this process's CPU time / wall "
              "time in the best run)")
        for processes, seconds in startups.items():
            print(f"LocalCluster start with 2 worker {'processes' if processes else 'threads'}: {seconds:.2f} s")

        files, arguments, full, light = sizes(paths)
        per_replica = gil["serial"][1] / args.replicas
        print(f"\nScaling estimate: {per_replica * 1e3:.2f} ms per replica on one core (best serial); per Dask "
              f"task {arguments} B of arguments out, a result of {full / 1024:.1f} KiB back with curves or "
              f"{light / 1024:.1f} KiB without (sweeps), read where the files are: {files / 1024:.0f} KiB of input")
        replicas, workers = 10_000, 100
        compute = replicas * per_replica / workers
        dask = [timing for _, engine, timing, _ in rows if engine.startswith("LocalCluster")]
        # A task's cost beyond the analysis, from the fastest LocalCluster: its wall time
        # with 2 workers less the analysis shared by them. One scheduler pays it task
        # after task, which bounds a large cluster.
        overhead = max(min(t[1] for t in dask) - gil["serial"][1] / 2, 0.0) / args.replicas if dask else 1e-3
        scheduling = replicas * overhead
        print(f"Dask's cost per task beyond the analysis, from the LocalCluster: {overhead * 1e3:.2f} ms")
        print(f"10 000 replicas on {workers} workers: {compute:.1f} s of reading and fitting on each worker, "
              f"about {scheduling:.0f} s of task overhead through one scheduler, {replicas * full / 2**20:.0f} MiB "
              f"of results to the client with curves ({replicas * light / 2**20:.0f} MiB without: "
              f"{replicas * full * 8 / 1e9:.1f} s and {replicas * light * 8 / 1e9:.1f} s at 1 Gbit/s), and "
              f"{replicas * files / 2**30:.1f} GiB read from the shared file system by the workers; "
              f"one core alone: {replicas * per_replica:.0f} s")

if __name__ == "__main__":
    main()
