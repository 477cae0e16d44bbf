"""What a LAMMPS log says besides the group counts: its data files, group commands and thermo output."""

import pathlib
import pickle

import numpy as np
import pytest

import quor_pp

SAMPLE_LOG = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run" / "replica_1" / "log.lammps"

LOG = """\
LAMMPS (2 Aug 2023 - Update 3)
units real
read_data\tsystem.data  # the box
group wat type 1 2
3000 atoms in group wat
group ions union Na &
      Cl
group wat subtract wat ions
Per MPI rank memory allocation (min/avg/max) = 12 | 12 | 12 Mbytes
   Step          Temp          Press          Volume
         0   298.1   1.5   27000.0
        10   299.0  -3.25   27010.5
Loop time of 1.0 on 1 procs for 10 steps with 3000 atoms
WARNING: something (src/x.cpp:1)
read_data more.data add append
   Step          Temp          Volume
        10   300.0   27010.5
WARNING: a warning between rows
        20   301.0   27011.0
        30   nan   27012.0
Total wall time: 0:00:01
"""


def test_data_files_group_commands_and_thermo_runs(write_file):
    log = quor_pp.read_log(write_file(LOG))
    assert log.read_data == ("system.data", "more.data")
    assert log.group_definitions == {"wat": (("type", "1", "2"), ("subtract", "wat", "ions")),
                                     "ions": (("union", "Na", "Cl"),)}
    # A warning between rows ends a run's table; what follows is no new heading.
    assert [list(run) for run in log.thermo] == [["Step", "Temp", "Press", "Volume"], ["Step", "Temp", "Volume"]]
    assert log.thermo[0]["Press"].tolist() == [1.5, -3.25]
    assert log.thermo[1]["Temp"].tolist() == [300.0]


def test_thermo_columns_are_read_only_and_non_finite_values_are_kept(write_file):
    text = LOG.replace("WARNING: a warning between rows\n", "")
    run = quor_pp.read_log(write_file(text)).thermo[-1]
    assert run["Step"].tolist() == [10.0, 20.0, 30.0] and np.isnan(run["Temp"][2])
    with pytest.raises(ValueError):
        run["Temp"][0] = 1.0


def test_the_sample_logs_commands_as_written():
    log = quor_pp.read(SAMPLE_LOG)
    assert log.read_data == ("nacl.data",)
    assert log.group_definitions["ions"] == (("union", "Na", "Cl"),)
    assert log.group_definitions["water"] == (("type", "1", "2"),)


def test_a_log_pickles_with_its_thermo_columns_still_read_only(write_file):
    log = pickle.loads(pickle.dumps(quor_pp.read_log(write_file(LOG))))
    assert log.thermo[0]["Press"].tolist() == [1.5, -3.25] and not log.thermo[0]["Press"].flags.writeable
    assert log.group_definitions["ions"] == (("union", "Na", "Cl"),)
