#!/usr/bin/env bash
# Installs, in one apt-get run, the Debian packages that the compiler matrix,
# the fuzzing build and the aarch64 root need (each script also installs its
# own when run alone), so that steps running side by side never wait on
# dpkg's lock. LLVM is the version of clang and libc++ they use (14).
set -euo pipefail
LLVM=${LLVM:-14}
pkgs=(clang-$LLVM libc++-$LLVM-dev libc++abi-$LLVM-dev libclang-rt-$LLVM-dev qemu-user-static debootstrap)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing ${missing[*]}"
sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
  { $sudo apt-get update -qq && $sudo apt-get install -y -qq "${missing[@]}" >/dev/null; }
