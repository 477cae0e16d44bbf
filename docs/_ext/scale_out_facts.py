"""Facts about files, defaults and exit statuses, written on the pages from the constants the code uses.

``:code-fact:`state_file``` writes the name of the file a sweep's state point is read from,
as ``quor_pp.sweep`` looks for it; a page that states it this way cannot name another
file. An unknown name is an error of the build (which treats warnings as errors).
"""

from __future__ import annotations

import signal
from typing import Any

from docutils import nodes

from quor_pp.workflow.dask_engine import WORKER_TIMEOUT
from quor_pp.workflow.sweeps import STATE_FILE
from quor_pp.workflow.workers import exit_status

#: Each fact's text, and whether it is a name (set as code) or a number in prose.
FACTS: dict[str, tuple[str, bool]] = {
    "state_file": (STATE_FILE, True),
    "worker_timeout": (f"{WORKER_TIMEOUT:g} s", False),
    "sigterm_status": (str(exit_status(signal.SIGTERM)), False),
    "sigint_status": (str(exit_status(signal.SIGINT)), False),
    "sighup_status": (str(exit_status(signal.SIGHUP)), False),
}


def code_fact(name: str, rawtext: str, text: str, lineno: int, inliner: Any,
              options: dict[str, Any] | None = None, content: list[str] | None = None) -> tuple[list[Any], list[Any]]:
    """The role: the fact named `text`, as code or as text."""
    if text not in FACTS:
        message = inliner.reporter.error(f"unknown code fact {text!r}: one of {', '.join(FACTS)}", line=lineno)
        return [inliner.problematic(rawtext, rawtext, message)], [message]
    value, is_name = FACTS[text]
    return [nodes.literal(rawtext, value) if is_name else nodes.Text(value)], []


def setup(app: Any) -> dict[str, Any]:
    app.add_role("code-fact", code_fact)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
