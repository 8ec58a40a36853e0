#!/usr/bin/env bash
# Prepares, under build/aarch64/, what running the suite on aarch64 needs on
# an x86-64 machine, without binfmt or chroot:
#   - root/: a minimal arm64 Debian trixie with CPython 3.13, unpacked from
#     its packages (debootstrap's first stage, then dpkg -x of every package
#     it fetched) and run as `qemu-aarch64-static -L root root/usr/bin/python3.13`;
#     its standard library is byte-compiled ahead, since importing it from
#     source under emulation costs seconds per run;
#   - bin/python3.13: that interpreter behind a launcher script, with lib/
#     pointing into the root, so that sys.executable (the launcher) starts
#     another emulated interpreter, as tests that run a fresh one need;
#   - deps/: the test tools (requirements-aarch64.txt), fetched from PyPI
#     for aarch64.
# The Debian mirror is the machine's own (the first main-suite deb source in
# /etc/apt/sources.list or /etc/apt/sources.list.d/), or $AARCH64_MIRROR.
# Installs qemu-user-static and debootstrap when missing. Kept between runs;
# each part is redone only when missing or older than what it came from.
set -euo pipefail
cd "$(dirname "$0")/.."
base=$PWD/build/aarch64
root=$base/root
deps=$base/deps
py=$PWD/.venv/bin/python

if ! command -v qemu-aarch64-static >/dev/null || ! command -v debootstrap >/dev/null; then
  echo "installing qemu-user-static and debootstrap" >&2
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -qq qemu-user-static debootstrap >/dev/null 2>&1 ||
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq qemu-user-static debootstrap >/dev/null; }
fi

# The first deb source whose suite is a release (not -security, -updates, ...).
apt_mirror() {
  "$py" - <<'PY'
import glob, re
files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list"))
found = []
for path in files:
    try:
        lines = open(path).read().splitlines()
    except OSError:
        continue
    for line in lines:
        words = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
        if len(words) >= 3 and words[0] == "deb":
            found.append((words[1], [words[2]]))
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in re.split(r"\n\s*\n", open(path).read()):
        fields = {}
        for line in stanza.splitlines():
            if line.startswith("#") or ":" not in line or line[:1].isspace():
                continue
            key, value = line.split(":", 1)
            fields[key.strip().lower()] = value.split()
        if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"]) != ["no"]:
            for uri in fields.get("uris", []):
                found.append((uri, fields.get("suites", [])))
for uri, suites in found:
    if any("-" not in suite and "/" not in suite for suite in suites):
        print(uri.rstrip("/"))
        break
PY
}

if [ ! -x "$root/usr/bin/python3.13" ] || [ ! -f "$root/.ready" ]; then
  mirror=${AARCH64_MIRROR:-$(apt_mirror)}
  if [ -z "$mirror" ]; then
    echo "no Debian mirror in the apt configuration; set AARCH64_MIRROR" >&2; exit 1
  fi
  echo "aarch64 root: debootstrap from $mirror" >&2
  rm -rf "$root"
  mkdir -p "$base"
  debootstrap --arch=arm64 --foreign --variant=minbase --include=python3.13 \
    trixie "$root" "$mirror" >"$base/debootstrap.log" 2>&1 ||
    { tail -n 20 "$base/debootstrap.log" >&2; exit 1; }
  for deb in "$root"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$root"; done
  rm -f "$root"/var/cache/apt/archives/*.deb
  # Bytecode does not depend on the machine: the host's 3.13 writes it.
  "$(bash scripts/python313.sh)" -m compileall -q -j0 "$root/usr/lib/python3.13" >/dev/null || true
  touch "$root/.ready"
fi

mkdir -p "$base/bin"
ln -sfn root/usr/lib "$base/lib"
printf '#!/bin/sh\nexec qemu-aarch64-static -L %s -0 "$0" %s "$@"\n' \
  "$root" "$root/usr/bin/python3.13" >"$base/bin/python3.13"
chmod +x "$base/bin/python3.13"

if [ ! -f "$deps/.ready" ] || [ requirements-aarch64.txt -nt "$deps/.ready" ]; then
  rm -rf "$deps"
  "$py" -m pip install --quiet --target "$deps" --platform manylinux2014_aarch64 \
    --only-binary=:all: --python-version 3.13 --implementation cp --abi cp313 \
    -r requirements-aarch64.txt
  "$(bash scripts/python313.sh)" -m compileall -q -j0 "$deps" >/dev/null || true
  touch "$deps/.ready"
fi
