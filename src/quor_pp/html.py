"""`quor_pp.html`, the documented name of `quor_pp.views.html`: the same module object, so either name works."""

import sys

from .views import html as _module

sys.modules[__name__] = _module
