#!/usr/bin/env bash
# The documentation site: .venv with the docs extra, then `sphinx-build -W` (warnings are
# errors) for the HTML, the doctest builder for every example of the pages, and the
# example notebook executed with nbclient; the site is checked to load nothing from the
# network (MathJax and the theme's fonts are its own files). The site is left in docs/_build/html.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../env.sh"
quor_pp_env docs
cd "$quor_pp_root"
export MPLBACKEND=Agg

rm -rf docs/_build docs/generated
start=$SECONDS
python -m sphinx -W --keep-going -q -b html docs docs/_build/html
python scripts/ci/check_offline.py docs/_build/html   # no script, stylesheet or font from the network
python -m sphinx -W --keep-going -q -b doctest docs docs/_build/doctest
grep -E '^ +[0-9]+ (tests|failures in tests)' docs/_build/doctest/output.txt
pages=$(find docs/_build/html -name '*.html' ! -name 'genindex.html' ! -name 'search.html' | wc -l)
echo "docs: $pages pages, built and doctested in $((SECONDS - start))s"
python scripts/ci/run_notebook.py examples/sample_run.ipynb
