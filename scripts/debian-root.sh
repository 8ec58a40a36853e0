#!/usr/bin/env bash
# Prepares, under build/debian/ARCH-VERSION/, a Debian CPython VERSION for
# ARCH (x86_64 or aarch64) that runs on this x86-64 machine without binfmt,
# chroot or root rights, and prints that directory:
#   - root/: a minimal Debian with pythonVERSION and its development files,
#     unpacked from its packages (debootstrap's first stage, then dpkg -x of
#     every package it fetched): trixie for 3.13, forky (testing) for 3.14,
#     whose own interpreters those are; its standard library byte-compiled
#     ahead (by a native interpreter of that version), since compiling it
#     under emulation costs seconds per run;
#   - bin/pythonVERSION: that interpreter behind a launcher script, with lib/
#     pointing into the root, so that sys.executable (the launcher) starts
#     another such interpreter, as tests that run a fresh one need. aarch64
#     runs as `qemu-aarch64-static -L root`; x86-64 through the root's own
#     dynamic loader and libraries, whatever the machine's glibc;
#   - include/pythonVERSION: the interpreter's headers with the target's own
#     pyconfig.h in place of Debian's per-architecture dispatcher (for a
#     compiler that does not search the root);
#   - deps/ (aarch64): the test tools (requirements-aarch64.txt), fetched
#     from PyPI for aarch64 and VERSION.
# The Debian mirror is the machine's own (the first main-suite deb source in
# /etc/apt/sources.list or /etc/apt/sources.list.d/), or $DEBIAN_MIRROR
# ($AARCH64_MIRROR is still read). Installs qemu-user-static and debootstrap
# when missing. Kept between runs; each part is redone only when missing or
# older than what it came from.
#
#   bash scripts/debian-root.sh ARCH VERSION
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1 version=$2
case $arch in
  x86_64) debian_arch=amd64 ;;
  aarch64) debian_arch=arm64 ;;
  *) echo "unknown architecture $arch (x86_64 or aarch64)" >&2; exit 1 ;;
esac
case $version in
  3.13) suite=trixie ;;
  3.14) suite=forky ;;
  *) echo "no Debian suite known for CPython $version" >&2; exit 1 ;;
esac
base=$PWD/build/debian/$arch-$version
root=$base/root
deps=$base/deps
py=$PWD/.venv/bin/python
python=python$version
# One preparation at a time per root: steps that run side by side may all need it.
mkdir -p build/debian
exec 9>"$base.lock"
flock 9

need=(debootstrap)
[ "$arch" = "$(uname -m)" ] || need+=(qemu-aarch64-static)
for tool in "${need[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "installing qemu-user-static and debootstrap" >&2
    sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get install -y -qq qemu-user-static debootstrap >/dev/null 2>&1 ||
      { $sudo apt-get update -qq && $sudo apt-get install -y -qq qemu-user-static debootstrap >/dev/null; }
    break
  fi
done

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

# A native interpreter of VERSION, for the byte-compiling: the machine's
# 3.13, else this machine's own Debian root of that version.
native_python() {
  if [ "$version" = 3.13 ]; then
    bash scripts/python313.sh
  elif [ "$arch" = "$(uname -m)" ]; then
    echo "$base/bin/$python"
  else
    echo "$(bash scripts/debian-root.sh "$(uname -m)" "$version")/bin/$python"
  fi
}

if [ ! -x "$root/usr/bin/$python" ] || [ ! -f "$root/.unpacked" ]; then
  mirror=${DEBIAN_MIRROR:-${AARCH64_MIRROR:-$(apt_mirror)}}
  if [ -z "$mirror" ]; then
    echo "no Debian mirror in the apt configuration; set DEBIAN_MIRROR" >&2; exit 1
  fi
  echo "$arch $version root: debootstrap $suite from $mirror" >&2
  rm -rf "$root"
  mkdir -p "$base"
  # The machine's debootstrap may predate the suite: every Debian suite
  # since bookworm is made the same way (the script named sid).
  script=/usr/share/debootstrap/scripts/$suite
  [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
  debootstrap --arch=$debian_arch --foreign --variant=minbase --include=$python,lib$python-dev \
    $suite "$root" "$mirror" "$script" >"$base/debootstrap.log" 2>&1 ||
    { tail -n 20 "$base/debootstrap.log" >&2; exit 1; }
  for deb in "$root"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$root"; done
  rm -f "$root"/var/cache/apt/archives/*.deb
  touch "$root/.unpacked"
fi

triplet=$arch-linux-gnu
mkdir -p "$base/bin"
ln -sfn root/usr/lib "$base/lib"
if [ "$arch" = "$(uname -m)" ]; then
  # --argv0 makes the launcher sys.executable; the interpreter finds its
  # standard library beside it, through lib/.
  loader=$(cd "$root" && ls usr/lib/$triplet/ld-linux-*.so.* | head -n 1)
  printf '#!/bin/sh\nexec %s --library-path %s --argv0 "$0" %s "$@"\n' \
    "$root/$loader" "$root/usr/lib/$triplet" "$root/usr/bin/$python" >"$base/bin/$python"
else
  printf '#!/bin/sh\nexec qemu-%s-static -L %s -0 "$0" %s "$@"\n' \
    "$arch" "$root" "$root/usr/bin/$python" >"$base/bin/$python"
fi
chmod +x "$base/bin/$python"

if [ ! -f "$base/include/.ready" ] || [ "$root/.unpacked" -nt "$base/include/.ready" ]; then
  rm -rf "$base/include"
  mkdir -p "$base/include"
  cp -r "$root/usr/include/$python" "$base/include/"
  cp "$root/usr/include/$triplet/$python/pyconfig.h" "$base/include/$python/pyconfig.h"
  touch "$base/include/.ready"
fi

if [ ! -f "$root/.ready" ]; then
  # Bytecode does not depend on the machine: a native interpreter writes it.
  "$(native_python)" -m compileall -q -j0 "$root/usr/lib/$python" >/dev/null || true
  touch "$root/.ready"
fi

if [ "$arch" != "$(uname -m)" ] && { [ ! -f "$deps/.ready" ] || [ requirements-aarch64.txt -nt "$deps/.ready" ]; }; then
  rm -rf "$deps"
  "$py" -m pip install --quiet --target "$deps" --platform manylinux2014_$arch \
    --only-binary=:all: --python-version $version --implementation cp --abi cp${version/./} \
    -r requirements-aarch64.txt
  "$(native_python)" -m compileall -q -j0 "$deps" >/dev/null || true
  touch "$deps/.ready"
fi
echo "$base"
