#!/usr/bin/env bash
# The HTML page of an analysis in a real browser: installs Debian's headless Chromium when
# it is missing (needs root and apt), then runs the HTML tests, which load the page, check
# that it logs nothing to the console and that every image renders, and take a screenshot;
# then the report of the mixture sample: full-page screenshots at 1400 and 800 px wide, written
# to $QUOR_PP_SCREENSHOTS (default: build/screenshots), no sideways scroll at
# 800 px, and its print on A4 portrait.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../env.sh"
if ! command -v chromium >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null
fi
quor_pp_env test
cd "$quor_pp_root"
# Screenshots of the report (1400 and 800 px) and of three docs pages, kept to be looked at.
export QUOR_PP_SCREENSHOTS=${QUOR_PP_SCREENSHOTS:-$quor_pp_root/build/screenshots}
mkdir -p "$QUOR_PP_SCREENSHOTS"
python -m pytest -q -p no:cacheprovider tests/test_html.py tests/test_report_page.py -rs
python -m pytest -q -p no:cacheprovider tests/test_docs_pages.py -rs   # the site the docs job left in docs/_build/html
echo "browser: screenshots in $QUOR_PP_SCREENSHOTS"
