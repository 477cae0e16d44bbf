"""`quor_pp.plots`, the documented name of `quor_pp.views.plots`: the same module object, so either name works."""

import sys

from .views import plots as _module

sys.modules[__name__] = _module
