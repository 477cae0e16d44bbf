"""Test hooks for the processes that tests of workers start (on PYTHONPATH, active with QUOR_PP_TEST_HOOKS=1).

A replica directory's name says what its analysis does in such a process:
``hang*`` writes ``started.<pid>`` into the directory and never returns;
``die_once*`` kills its own process the first time (leaving a ``died`` mark) and is
analysed normally after; ``die_always*`` kills its process every time;
``raise_<Name>*`` raises the built-in exception of that name.
"""
import os

if os.environ.get("QUOR_PP_TEST_HOOKS") == "1":
    import builtins
    import signal
    import time

    import quor_pp.workflow.replica_tasks

    _analyze_replica = quor_pp.workflow.replica_tasks.analyze_replica

    def _hooked(directory, settings, progress=None):
        name = os.path.basename(directory)
        if name.startswith("hang"):
            open(os.path.join(directory, f"started.{os.getpid()}"), "w").close()
            while True:
                time.sleep(3600)
        if name.startswith("die_"):
            mark = os.path.join(directory, "died")
            if name.startswith("die_always") or not os.path.exists(mark):
                open(mark, "a").close()
                os.kill(os.getpid(), signal.SIGKILL)
        if name.startswith("raise_"):
            raise getattr(builtins, name.split("_")[1])("raised on purpose")
        return _analyze_replica(directory, settings, progress)

    quor_pp.workflow.replica_tasks.analyze_replica = _hooked
