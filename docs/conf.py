"""Sphinx configuration of the quor-pp documentation (``bash scripts/ci/docs.sh`` builds it)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import quor_pp  # noqa: E402

project = "quor-pp"
author = "the quor-pp developers"
copyright = "2026, the quor-pp developers"
release = quor_pp.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "sphinx-mathjax-offline",  # MathJax 3 copied into _static: formulas render offline
    "numpydoc",
    "sphinxarg.ext",
    "quor_docs",  # pages made from the package at build time: quantities, native functions, gallery
]

exclude_patterns = ["_build", "**.ipynb_checkpoints"]
html_theme = "pydata_sphinx_theme"
html_title = f"quor-pp {release}"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}
html_static_path: list[str] = []
# MathJax from the site's own files (sphinx-mathjax-offline copies them), never from a CDN;
# scripts/ci/check_offline.py fails the docs build on any asset loaded from the network.
mathjax_path = "mathjax/tex-chtml.js"

# numpydoc renders the sections; autodoc lists nothing by itself (members are named on the pages).
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_attributes_as_param_list = False
autodoc_typehints = "none"
autodoc_default_options = {"members": False}
nitpicky = False

# The examples run from the repository root, where examples/data lives; plots need no display.
doctest_global_setup = """
import os, warnings
os.environ.setdefault("MPLBACKEND", "Agg")
os.chdir(os.path.join(os.path.dirname(quor_pp_docs_root), ".."))
"""
doctest_global_setup = doctest_global_setup.replace("quor_pp_docs_root", repr(os.path.abspath(__file__)))
doctest_test_doctest_blocks = ""  # docstring examples run in the test suite, in their modules
