"""`quor_pp.quantities`, the documented name of `quor_pp.analysis.quantities`: the same module object, so either name works."""

import sys

from .analysis import quantities as _module

sys.modules[__name__] = _module
