"""`quor_pp.parallel`, the documented name of `quor_pp.workflow.parallel`: the same module object, so either name works."""

import sys

from .workflow import parallel as _module

sys.modules[__name__] = _module
