#!/usr/bin/env bash
# Installs what building and testing scanfw needs on Debian 12, when missing.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

pkgs=(cmake make g++ libgtest-dev libgmock-dev
      g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
      wine wine32 python3 python3-pefile xxd
      pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
      libsystemd-dev python3-dbusmock dbus-daemon
      git osslsigncode openssl dpkg-dev lintian
      clang-14 libclang-rt-14-dev)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync serves an index that does not match its
  # release file. Try again; if one index stays broken, go on with the ones
  # that came: the install below fails loudly if what it needs is missing.
  for try in 1 2 3 4; do
    if $SUDO apt-get update -qq; then break; fi
    echo "setup: apt-get update failed (try $try of 4)" >&2
    if [ "$try" -lt 4 ]; then sleep 20; fi
  done
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
