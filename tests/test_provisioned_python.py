"""The CPython 3.14 the scripts provide makes a virtual environment with pip, as a user would use it."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
PREFIX = pathlib.Path(os.environ.get("QUOR_PP_PYTHON_PREFIX")
                      or pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache")
                      / "quor-pp" / "python3.14")


@pytest.mark.skipif(shutil.which("bash") is None, reason="the scripts are bash")
@pytest.mark.skipif(not (PREFIX / ".complete").exists() and shutil.which("python3.14") is None
                    and not os.environ.get("QUOR_PP_PYTHON"),
                    reason="no CPython 3.14 provided yet (the script would download one)")
def test_python_of_the_scripts_makes_a_venv_with_pip(tmp_path):
    found = subprocess.run(["bash", str(ROOT / "scripts" / "python314.sh")], capture_output=True, text=True,
                           timeout=120)
    assert found.returncode == 0, found.stderr
    python = found.stdout.strip().splitlines()[-1]
    # As a user's shell starts it: not told to run without the GIL (a build with the GIL refuses
    # that), nor under a sanitizer's preloaded runtime.
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("PYTHON_GIL", "LD_PRELOAD", "PYTHONMALLOC")}
    made = subprocess.run([python, "-m", "venv", str(tmp_path / "venv")], capture_output=True, text=True,
                          timeout=300, env=environment)
    assert made.returncode == 0, made.stderr
    pip = subprocess.run([str(tmp_path / "venv" / "bin" / "pip"), "--version"], capture_output=True, text=True,
                         timeout=120, env=environment)
    assert pip.returncode == 0 and "python 3.14" in pip.stdout, pip.stdout + pip.stderr
