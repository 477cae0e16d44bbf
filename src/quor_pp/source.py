"""`quor_pp.source`, the documented name of `quor_pp.reading.source`: the same module object, so either name works."""

import sys

from .reading import source as _module

sys.modules[__name__] = _module
