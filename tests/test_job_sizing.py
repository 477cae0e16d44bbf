"""-j N on a run too small for worker processes: analysed in the command's own process, with a note."""
import os
import subprocess
import sys

import pytest

from quor_pp.workflow import job_sizing

RUN = __import__("pathlib").Path(__file__).resolve().parents[1] / "examples" / "data" / "run"


def test_bytes_count_every_file_and_compressed_ones_for_the_text_they_hold(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "plain.dat").write_bytes(b"x" * 1000)
    (tmp_path / "a" / "packed.dat.gz").write_bytes(b"x" * 100)
    (tmp_path / "a" / "sub").mkdir()
    assert job_sizing.run_bytes([str(tmp_path / "a"), str(tmp_path / "missing")]) == 1000 + 4 * 100


@pytest.mark.skipif(not sys._is_gil_enabled(), reason="threads start at once: -j is always taken")
@pytest.mark.parametrize("threshold, jobs, count, expected", [
    ("", 2, 4, 1),                 # the sample run: 0.4 MB, far below what two workers need
    ("", 1, 4, 1),
    ("0", 2, 4, 2),                # every run large enough
    ("0", 3, 1, 1),                # one replica: nothing to share out
    ("100000000000", 4, 4, 1),
])
def test_worker_processes_only_for_runs_large_enough(monkeypatch, threshold, jobs, count, expected):
    monkeypatch.setenv("QUOR_PP_SERIAL_BELOW_BYTES", threshold)
    directories = [str(RUN / f"replica_{k}") for k in range(1, count + 1)]
    assert job_sizing.worthwhile_jobs(directories, jobs) == expected


@pytest.mark.skipif(not sys._is_gil_enabled(), reason="threads start at once: -j is always taken")
@pytest.mark.parametrize("megabytes, count, jobs, expected", [
    (6.0, 2, 2, 2),   # 12 MB: two workers take 6 MB (1.3 s) of work off, more than their start
    (4.0, 2, 2, 1),   # 8 MB: they would take 4 MB (0.9 s) off, less than their start
    (1.6, 4, 8, 1),   # 6.4 MB among four workers at most (one per replica): 4.8 MB off, about their start
    (1.6, 8, 8, 8),   # 12.8 MB among eight
])
def test_more_workers_pay_sooner(tmp_path, monkeypatch, megabytes, count, jobs, expected):
    monkeypatch.delenv("QUOR_PP_SERIAL_BELOW_BYTES")
    directories = []
    for k in range(count):
        (tmp_path / str(k)).mkdir()
        with open(tmp_path / str(k) / "diffself.dat", "wb") as file:
            file.truncate(int(megabytes * 1e6))  # sparse: its size is what counts
        directories.append(str(tmp_path / str(k)))
    assert job_sizing.worthwhile_jobs(directories, jobs) == expected


@pytest.mark.skipif(not sys._is_gil_enabled(), reason="threads start at once: -j is always taken")
def test_the_command_says_why_and_gives_the_same_table(tmp_path):
    environment = {**os.environ, "QUOR_PP_SERIAL_BELOW_BYTES": ""}
    out = {jobs: tmp_path / f"j{jobs}.csv" for jobs in (1, 2)}
    results = {jobs: subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "-j", str(jobs),
                                     "--csv", str(out[jobs])], capture_output=True, text=True, env=environment,
                                    timeout=300) for jobs in (1, 2)}
    assert all(r.returncode == 0 for r in results.values())
    note = [line for line in results[2].stderr.splitlines() if "-j 2" in line]
    assert len(note) == 1 and "4 replicas" in note[0] and "this process" in note[0]
    assert "-j" not in results[1].stderr
    assert out[1].read_bytes() == out[2].read_bytes()


def test_the_help_states_the_thresholds_the_code_uses(monkeypatch):
    from quor_pp.cli.commands import options
    import argparse

    monkeypatch.delenv("QUOR_PP_SERIAL_BELOW_BYTES")
    parser = argparse.ArgumentParser()
    options.add_engine_options(parser)
    text = " ".join(parser.format_help().split())
    assert (f"some {job_sizing.serial_below(2) / 1e6:.0f} MB of files or more with -j 2, "
            f"{job_sizing.serial_below(8) / 1e6:.0f} MB with -j 8") in text
