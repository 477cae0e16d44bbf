"""Installs pip into the running interpreter from the newest pip wheel on the package index.

The last resort of scripts/env.sh, for an interpreter that brings neither a pip wheel nor
a working ensurepip. Uses the index's JSON listing (PEP 691) at $PIP_INDEX_URL, or PyPI,
checks the wheel's SHA-256 against the listing, and installs it with itself.
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

INDEX = os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple").rstrip("/")
WHEEL = re.compile(r"pip-(\d+(?:\.\d+)*)-py3-none-any\.whl")  # final releases only


def fail(message):
    sys.exit(f"bootstrap_pip: {message}")


def newest_wheel():
    request = urllib.request.Request(f"{INDEX}/pip/", headers={"Accept": "application/vnd.pypi.simple.v1+json"})
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            listing = json.load(response)
    except (OSError, ValueError) as error:
        fail(f"cannot read the pip listing at {INDEX}/pip/: {error}")
    wheels = []
    for entry in listing.get("files", []):
        match = WHEEL.fullmatch(entry.get("filename", ""))
        if match and not entry.get("yanked") and "sha256" in entry.get("hashes", {}):
            wheels.append((tuple(map(int, match.group(1).split("."))), entry))
    if not wheels:
        fail(f"no pip wheel listed at {INDEX}/pip/")
    return max(wheels, key=lambda item: item[0])[1]


def main():
    entry = newest_wheel()
    url = urllib.parse.urljoin(f"{INDEX}/pip/", entry["url"])
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, entry["filename"])
        try:
            with urllib.request.urlopen(url, timeout=120) as response:
                data = response.read()
        except OSError as error:
            fail(f"cannot download {url}: {error}")
        if hashlib.sha256(data).hexdigest() != entry["hashes"]["sha256"]:
            fail(f"{entry['filename']} does not match the SHA-256 of the listing")
        with open(path, "wb") as stream:
            stream.write(data)
        # A wheel is a zip archive that Python can run pip from directly.
        subprocess.run([sys.executable, os.path.join(path, "pip"), "install", "-q", "--no-index", path], check=True)


if __name__ == "__main__":
    main()
