#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter, provisioning one if needed.
#
# Order of preference:
#   1. $QUOR_PP_PYTHON, if set (an interpreter you chose yourself);
#   2. python3.14 on PATH;
#   3. a private build from the distribution's unstable suite, unpacked into
#      $QUOR_PP_PYTHON_PREFIX (default: ~/.cache/quor-pp/python3.14) once and
#      reused afterwards.
# Everything goes to stderr except the final path on stdout.
set -euo pipefail

log() { printf 'python314: %s\n' "$*" >&2; }

if [[ -n "${QUOR_PP_PYTHON:-}" ]]; then
    if ! chosen="$(command -v "$QUOR_PP_PYTHON")"; then
        log "QUOR_PP_PYTHON=$QUOR_PP_PYTHON: no such program"
        exit 1
    fi
    if ! "$chosen" -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
        log "QUOR_PP_PYTHON=$QUOR_PP_PYTHON is not CPython 3.14"
        exit 1
    fi
    echo "$chosen"
    exit 0
fi
if command -v python3.14 >/dev/null 2>&1; then
    command -v python3.14
    exit 0
fi

prefix="${QUOR_PP_PYTHON_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/quor-pp/python3.14}"
python="$prefix/usr/bin/python3.14"
wheels="$prefix/usr/share/python-wheels/"

# ensurepip (and so `python3.14 -m venv`) installs the pip wheel it finds in the
# directory the build was configured with (WHEEL_PKG_DIR): Debian's build says the
# system's /usr/share/python-wheels, which holds the host's own pip (too old for
# 3.14: it fails on import) or nothing. Point it at the wheels unpacked with this
# interpreter, in the configuration the interpreter reads (sysconfig's data).
use_own_wheels() {
    local root="$1" file
    for file in "$root"/usr/lib/python3.14/_sysconfigdata_*.py; do
        sed -i "s|'WHEEL_PKG_DIR': '[^']*'|'WHEEL_PKG_DIR': '$wheels'|" "$file"
    done
    for file in "$root"/usr/lib/python3.14/_sysconfig_vars_*.json; do
        sed -i "s|\"WHEEL_PKG_DIR\": \"[^\"]*\"|\"WHEEL_PKG_DIR\": \"$wheels\"|" "$file"
    done
}

if [[ -f "$prefix/.complete" ]]; then
    # A prefix made before its wheels were pointed to is mended once.
    if ! grep -qF "'WHEEL_PKG_DIR': '$wheels'" "$prefix"/usr/lib/python3.14/_sysconfigdata__linux_*.py; then
        log "pointing ensurepip at the pip wheel of $prefix"
        use_own_wheels "$prefix"
    fi
    echo "$python"
    exit 0
fi

log "no python3.14 found; provisioning one into $prefix"

if ! command -v patchelf >/dev/null 2>&1; then
    log "installing patchelf"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf >&2
fi

# The mirror is whatever the system's own apt configuration uses.
mirror=""
shopt -s nullglob
for f in /etc/apt/sources.list.d/*.sources; do
    mirror=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' "$f")
    [[ -n "$mirror" ]] && break
done
if [[ -z "$mirror" && -f /etc/apt/sources.list ]]; then
    mirror=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
fi
if [[ -z "$mirror" ]]; then
    log "cannot find the distribution mirror in the apt configuration"
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
: > "$work/status"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main" > "$work/sources.list"
apt_opts=(
    -o "Dir::Etc::SourceList=$work/sources.list"
    -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache"
    -o "Dir::State::status=$work/status"
    -o APT::Sandbox::User=root
    -o Debug::NoLocking=1
)
log "downloading packages"
apt-get "${apt_opts[@]}" update -qq >&2
apt-get "${apt_opts[@]}" install -y -qq --download-only --no-install-recommends \
    python3.14-dev python3.14-venv >&2

# Unpack into a staging folder and move it into place only when complete,
# so an interrupted run never leaves a half-made prefix behind.
stage="$prefix.partial"
rm -rf "$stage"
mkdir -p "$stage"
for deb in "$work"/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$stage"
done

# The interpreter needs the newer C library that came with it.
lib="$stage/usr/lib/x86_64-linux-gnu"
patchelf --set-interpreter "$prefix/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" \
    --force-rpath --set-rpath "$prefix/usr/lib/x86_64-linux-gnu" \
    "$stage/usr/bin/python3.14"
[[ -e "$lib/ld-linux-x86-64.so.2" ]] || { log "the C library's loader is missing"; exit 1; }

# pyconfig.h is a multiarch wrapper; put the real one in its place.
cp "$stage/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h" \
   "$stage/usr/include/python3.14/pyconfig.h"

use_own_wheels "$stage"
compgen -G "$stage/usr/share/python-wheels/pip-*.whl" >/dev/null || { log "the pip wheel is missing"; exit 1; }

rm -rf "$prefix"
mv "$stage" "$prefix"
"$python" -c 'import ssl, ctypes, sqlite3, sys; assert sys.version_info[:2] == (3, 14)' >&2
# What a user does with it: a venv with pip.
"$python" -m venv "$work/venv" >&2 && "$work/venv/bin/pip" --version >&2
touch "$prefix/.complete"
log "ready: $python"
echo "$python"
