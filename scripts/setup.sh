#!/usr/bin/env bash
# Installs what building and testing scanfw needs on Debian 12, when missing.
# Idempotent: quiet and quick when everything is already there.
#
#   scripts/setup.sh [first|rest]
#
# first: what the Linux builds and their tests need; rest: the cross
# compilers, Wine and its 32-bit side, the release tools and clang for the
# fuzzers. Without an argument, both. scripts/test.sh installs the first
# part and starts building while the rest installs.
#
# The 32-bit scanfw.exe needs Wine's 32-bit side, which needs a machine that
# runs 32-bit x86 code: natively where the kernel allows it, otherwise
# through qemu-user 10 registered with binfmt_misc (Debian 12's own qemu 7.2
# cannot run Wine). Only where one of them works are i386 packages installed.
set -euo pipefail

part=${1:-all}
case $part in
  all | first | rest) ;;
  *) echo "usage: scripts/setup.sh [first|rest]" >&2; exit 2 ;;
esac

first=(cmake make ninja-build g++ libgtest-dev libgmock-dev python3 xxd git
       pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
       libsystemd-dev python3-dbusmock dbus-daemon tmux locales)
rest=(clang-14 libclang-rt-14-dev
      g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
      g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
      mingw-w64-x86-64-dev
      wine wine64 python3-pefile osslsigncode openssl dpkg-dev lintian)
case $part in
  first) pkgs=("${first[@]}") ;;
  rest) pkgs=("${rest[@]}") ;;
  *) pkgs=("${first[@]}" "${rest[@]}") ;;
esac
pkgs32=(wine32)
QEMU_MIN=1:10.0   # the first qemu-user that runs Wine's 32-bit loader here

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive

missing() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$p"
    fi
  done
}

# A mirror in the middle of a sync serves an index that does not match its
# release file. Try again; if one index stays broken, go on with the ones
# that came: the installs below fail loudly if what they need is missing.
# An index read in the last half hour (by the other part, say) is used as
# is, unless the caller says "again" (a new architecture needs its own).
apt_update() {
  local try
  if [ "${1:-}" != again ] &&
     [ -n "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -mmin -30 2>/dev/null | head -1)" ]; then
    return 0
  fi
  for try in 1 2 3 4; do
    if $SUDO apt-get update -qq; then return 0; fi
    echo "setup: apt-get update failed (try $try of 4)" >&2
    if [ "$try" -lt 4 ]; then sleep 20; fi
  done
}

mapfile -t need < <(missing "${pkgs[@]}")
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  apt_update
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The locales the tests run the programs in, as a user's terminal would be.
if [ "$part" = rest ]; then
  locales=()
else
  locales=(en_US.UTF-8 zh_TW.UTF-8 zh_TW.BIG5 zh_CN.UTF-8 zh_CN.GB2312)
fi
for locale in "${locales[@]}"; do
  name=${locale%%.*} charset=${locale#*.}
  if ! locale -a 2>/dev/null | grep -qix "$name.$(echo "$charset" | tr -d -)"; then
    echo "setup: generating the locale $locale"
    $SUDO localedef -i "$name" -f "$charset" "$locale"
  fi
done

# The presets build with Ninja: a build folder that an earlier generator
# configured is configured afresh (its Wine prefixes stay).
for cache in "$(dirname "$0")"/../build/*/CMakeCache.txt; do
  if [ -f "$cache" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
    rm -rf "$cache" "$(dirname "$cache")/CMakeFiles"
  fi
done

if [ "$part" = first ]; then exit 0; fi

# ------------------------------------------------------------ 32-bit code
# The smallest i386 program: exit(0). Whether it runs is the kernel's answer,
# including any binfmt_misc handler registered for i386.
runs_i386() {
  local dir status
  dir=$(mktemp -d)
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' >"$dir/exit0"
  chmod +x "$dir/exit0"
  status=0
  "$dir/exit0" 2>/dev/null || status=$?
  rm -rf "$dir"
  return "$status"
}

# qemu-user from bookworm-backports, the one package taken from there: a
# private apt configuration (its own source list and lists folder) only
# downloads it, so the machine's own sources, pins and upgrades never see
# backports. The archive is the one the machine's sources name for bookworm.
install_qemu() {
  local have mirror dir
  have=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  if [ -n "$have" ] && dpkg --compare-versions "$have" ge "$QEMU_MIN"; then return 0; fi
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME) $(LABEL)' 2>/dev/null |
           awk '$2 == "bookworm" && $3 == "Debian" { print $1; exit }')
  mirror=${mirror:-http://deb.debian.org/debian/}
  dir=$(mktemp -d)
  mkdir -p "$dir/lists/partial" "$dir/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} bookworm-backports main" \
    >"$dir/sources.list"
  local private=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
                 -o Dir::State::Lists="$dir/lists" -o Dir::Cache::Archives="$dir/archives"
                 -o APT::Sandbox::User=root -qq)
  echo "setup: the kernel does not run 32-bit x86 code; fetching qemu-user from bookworm-backports (${mirror%/})"
  if ! (cd "$dir" && $SUDO apt-get "${private[@]}" update &&
        $SUDO apt-get "${private[@]}" download qemu-user) ||
     ! $SUDO dpkg -i "$dir"/qemu-user_*.deb >/dev/null; then
    rm -rf "$dir"
    return 1
  fi
  rm -rf "$dir"
  have=$(dpkg-query -W -f='${Version}' qemu-user)
  dpkg --compare-versions "$have" ge "$QEMU_MIN"
}

# Registers qemu-i386 for i386 ELF programs: magic and mask as Debian's own
# entry; F opens the interpreter now, so it works in chroots and namespaces
# too; O and C keep setuid programs and unreadable binaries working.
register_qemu() {
  local bf=/proc/sys/fs/binfmt_misc
  if [ ! -e "$bf/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$bf" 2>/dev/null || return 1
  fi
  if [ -e "$bf/qemu-i386" ]; then
    echo -1 | $SUDO tee "$bf/qemu-i386" >/dev/null || return 1
  fi
  local magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386:OCF" | $SUDO tee "$bf/register" >/dev/null
}

i386=native
if ! runs_i386; then
  i386=""
  if install_qemu && register_qemu && runs_i386; then
    i386="qemu-user $(dpkg-query -W -f='${Version}' qemu-user)"
    echo "setup: 32-bit x86 programs run through $i386 (binfmt_misc handler qemu-i386)"
  else
    echo "setup: WARNING: 32-bit x86 programs cannot run here, so the 32-bit scanfw.exe cannot" \
         "run under Wine; its tests will fail unless SCANFW_SKIP_32BIT=1" >&2
  fi
fi

# ------------------------------------------------------------ i386 packages
if [ -n "$i386" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  mapfile -t need32 < <(missing "${pkgs32[@]}")
  if [ ${#need32[@]} -gt 0 ]; then
    echo "setup: installing ${need32[*]} (i386)"
    apt_update again
    # With the i386 index of the security archive unreadable, the amd64
    # libraries carry security versions whose i386 twins apt cannot see.
    # The security archive then ranks below the main one for this install
    # only, so that apt does not chase those versions, and the twins the
    # install needs are moved to the version both architectures have.
    pin=$(mktemp)
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"
    aptpin=(-o Dir::Etc::Preferences="$pin")
    moves=()
    if ! $SUDO apt-get "${aptpin[@]}" install -s -qq --no-install-recommends "${need32[@]}" >/dev/null 2>&1; then
      mapfile -t moves < <(python3 "$(dirname "$0")/i386_twins.py" "${need32[0]}" "${aptpin[@]}")
      if [ ${#moves[@]} -gt 0 ]; then
        echo "setup: the amd64 twins of i386 libraries are at versions apt has no i386 build of;" \
             "moving ${#moves[@]} packages to the version both architectures have: ${moves[*]}"
      fi
    fi
    status=0
    $SUDO apt-get "${aptpin[@]}" install -y -qq --no-install-recommends --no-remove \
      --allow-downgrades "${need32[@]}" "${moves[@]}" >/dev/null || status=$?
    rm -f "$pin"
    if [ "$status" -ne 0 ]; then
      echo "setup: installing ${need32[*]} failed" >&2
      exit "$status"
    fi
  fi
fi
