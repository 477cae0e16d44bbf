"""What goes wrong with `--scheduler` is one line of the command's own, at once.

- A scheduler file that is not there yet (the job started quor-pp before the scheduler
  wrote it) or a mistyped one was given to Dask as an address: its client refused it,
  but the half-made client held the process 60 s at exit and printed a traceback.
- A scheduler lost during the run, alone or with the command (a batch job whose time
  ran out: every process of it gets SIGTERM), added Dask's log lines and tracebacks to
  the command's line.
"""

import os
import signal
import subprocess
import sys
import time

import pytest

from sample_truth import RUN

pytest.importorskip("distributed")


@pytest.mark.parametrize("address", ["scheduler.json", "{tmp}/not-yet/scheduler.json", "localhost",
                                     "gopher://localhost:8786"])
def test_an_address_dask_cannot_read_is_one_line_at_once(tmp_path, address):
    address = address.format(tmp=tmp_path)
    done = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "-q", "--scheduler", address],
                          capture_output=True, text=True, timeout=45, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        1, f"quor-pp analyze: {address} is neither a scheduler file nor a Dask scheduler's address "
           "(tcp://host:port)\n")


@pytest.fixture
def scheduler(tmp_path):
    """A `dask scheduler` in a process of its own, as a job script starts it: (process, scheduler file, log)."""
    file, log = tmp_path / "scheduler.json", tmp_path / "scheduler.log"
    with open(log, "w") as stream:
        process = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--scheduler-file",
                                    str(file), "--port", "0", "--no-dashboard"], stdout=stream, stderr=stream)
    try:
        for _ in range(1200):  # a bound against a hang
            if file.exists() and file.stat().st_size or process.poll() is not None:
                break
            time.sleep(0.05)
        assert file.exists() and file.stat().st_size, log.read_text()
        yield process, file, log
    finally:
        process.kill()
        process.wait()


@pytest.mark.parametrize("stopped, status, message", [
    ("scheduler", 1, "lost the Dask scheduler at tcp://"),
    ("both", 143, None),
])
def test_a_scheduler_lost_while_the_command_waits_is_one_line(scheduler, stopped, status, message):
    process, file, log = scheduler
    # Dask's client tries to reconnect for its connect timeout before it gives the scheduler up.
    environment = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"}
    command = subprocess.Popen([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "-q", "--scheduler", str(file),
                                "--worker-timeout", "600"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               text=True, env=environment)
    try:
        for _ in range(1200):  # until the command's client has connected (the scheduler logs it)
            if "Receive client connection" in log.read_text() or command.poll() is not None:
                break
            time.sleep(0.05)
        time.sleep(0.5)  # into the wait for a worker
        process.send_signal(signal.SIGTERM)
        if stopped == "both":
            command.send_signal(signal.SIGTERM)
        _, err = command.communicate(timeout=60)
    finally:
        command.kill()
        command.communicate()
    lines = err.splitlines()
    assert command.returncode == status, err
    if message is None:
        assert lines == []
    else:
        assert len(lines) == 1 and lines[0].startswith(f"quor-pp analyze: {message}"), err
