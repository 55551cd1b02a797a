#!/usr/bin/env bash
# Makes the release artefacts of scanfw from the checked-out commit and the
# given firmware image: the Windows programs scanfw.exe (32-bit) and
# scanfw-x64.exe (64-bit), Authenticode-signed when a certificate and key are
# given, the Debian package, and SHA256SUMS over the three. The same commit, image and SOURCE_DATE_EPOCH give the same
# bytes on any machine, in any folder, at any hour.
set -euo pipefail

VERSION=0.3.53.0
DEB=scanfw_${VERSION}_amd64.deb
PRODUCT="Scanner Firmware Updater"

usage() {
  cat <<'EOF'
usage: scripts/release.sh --image FILE [--firmware-release HHHH]
                          [--cert CERT.pem --key KEY.pem
                          [--ca CA.pem] [--timestamp-url URL]] [--out DIR]

  --image FILE          the scanner's firmware image to embed (required)
  --firmware-release HHHH
                        the release (USB bcdDevice, four hex digits) the
                        scanner reports once it runs that image, for
                        scanfw --check (without it --check answers 9)
  --cert CERT.pem       code-signing certificate (PEM; may hold the chain)
  --key KEY.pem         its private key (PEM, not encrypted)
  --ca CA.pem           the root(s) to verify the signature and its time
                        stamp against (default: the system's store)
  --timestamp-url URL   RFC 3161 time-stamp authority for the signature
  --out DIR             where to write the artefacts (default: dist)

Writes DIR/scanfw.exe (32-bit), DIR/scanfw-x64.exe (64-bit),
DIR/scanfw_0.3.53.0_amd64.deb and DIR/SHA256SUMS.
SOURCE_DATE_EPOCH (default: the commit's time) fixes every time stamp.
SCANFW_RELEASE_BUILDS=DIR builds in DIR/PRESET and keeps the folders, so
that a later run with the same image rebuilds only what changed (default:
fresh folders, removed at the end).
EOF
}

die() {
  printf 'release: %s\n' "$*" >&2
  exit 2
}

image="" release="" cert="" key="" ca="" tsurl="" out=dist
while (($#)); do
  case $1 in
    --image | --firmware-release | --cert | --key | --ca | --timestamp-url | --out)
      (($# >= 2)) || die "$1 needs a value (see --help)"
      case $1 in
        --image) image=$2 ;;
        --firmware-release) release=$2 ;;
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --ca) ca=$2 ;;
        --timestamp-url) tsurl=$2 ;;
        --out) out=$2 ;;
      esac
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

# Refusals come first, before anything is installed or built: a build
# without the real image carries the placeholder and must never ship.
[[ -n $image ]] || die "no firmware image given: --image FILE is required (a release never carries the placeholder)"
[[ -e $image ]] || die "the firmware image '$image' does not exist"
[[ -f $image ]] || die "the firmware image '$image' is not a regular file"
[[ -r $image ]] || die "the firmware image '$image' cannot be read"
[[ -z $release || $release =~ ^[0-9A-Fa-f]{4}$ ]] ||
  die "--firmware-release '$release' is not four hex digits (the scanner's bcdDevice, as 0102)"
[[ -s $image ]] || die "the firmware image '$image' is empty (0 bytes)"
if [[ -n $cert || -n $key ]]; then
  [[ -n $cert ]] || die "--key given without --cert"
  [[ -n $key ]] || die "--cert given without --key"
  [[ -f $cert && -r $cert ]] || die "the certificate file '$cert' does not exist or cannot be read"
  [[ -f $key && -r $key ]] || die "the key file '$key' does not exist or cannot be read"
  [[ -z $ca || (-f $ca && -r $ca) ]] || die "the CA file '$ca' does not exist or cannot be read"
else
  [[ -z $tsurl ]] || die "--timestamp-url needs --cert and --key"
  [[ -z $ca ]] || die "--ca needs --cert and --key"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
abs() { readlink -f -- "$1"; }
image=$(abs "$image")
[[ -z $cert ]] || { cert=$(abs "$cert"); key=$(abs "$key"); }
[[ -z $ca ]] || ca=$(abs "$ca")
out=$(realpath -m -- "$out")
[[ ! -e $out || -d $out ]] || die "the output '$out' exists and is not a folder"

cd "$root"
bash scripts/setup.sh

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -c safe.directory="$root" log -1 --format=%ct HEAD 2>/dev/null) ||
    die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time (seconds since 1970)"
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH '$SOURCE_DATE_EPOCH' is not a number of seconds"
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022
commit=$(git -c safe.directory="$root" describe --always --dirty 2>/dev/null || echo "unknown commit")
if [[ $commit == *-dirty ]]; then
  echo "release: WARNING: the working tree has uncommitted changes; the artefacts are not those of commit ${commit%-dirty}" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/scanfw-release.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
jobs=$(nproc 2>/dev/null || echo 2)
builds=${SCANFW_RELEASE_BUILDS:-$work}
mkdir -p -- "$builds"
builds=$(abs "$builds")
fresh="in a fresh folder"
[[ $builds == "$work" ]] || fresh="in $builds"
pe_python=/usr/bin/python3   # Debian's python3-pefile lives there

# step LOG DESCRIPTION COMMAND...: runs the command with its output in LOG,
# shown only when it fails.
step() {
  local log=$work/$1 what=$2
  shift 2
  echo "== $what"
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "release: FAILED: $what" >&2
    exit 1
  fi
}

# ---------------------------------------------------------------- Windows
# scanfw.exe (PE32, i386) for every Windows; scanfw-x64.exe (PE32+, x86-64)
# for the ones without 32-bit support. The same steps for each.
# windows_exe PRESET MACHINE NAME: builds, checks and signs one; prints the
# file to ship on the last line of $work/NAME.path.
windows_exe() {
  local preset=$1 machine=$2 name=$3 exe
  build_windows() {
    cmake --preset "$preset" -B "$builds/$preset" -DSCANFW_FIRMWARE_IMAGE="$image" \
      -DSCANFW_FIRMWARE_RELEASE="$release" &&
      cmake --build "$builds/$preset" -j "$jobs" --target scanfw
  }
  step "$preset.log" "building $name ($preset preset, Release) $fresh" build_windows
  exe=$builds/$preset/scanfw.exe
  step "$name-check.log" "checking $name: $machine, resources, image bytes, imports" \
    "$pe_python" tests/resources/inspect_pe.py --exe "$exe" --image "$image" --machine "$machine"

  if [[ -n $cert ]]; then
    local signed=$work/$name-signed.exe
    local sign=(osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "$PRODUCT"
                -time "$SOURCE_DATE_EPOCH")
    [[ -z $tsurl ]] || sign+=(-ts "$tsurl")
    step "$name-sign.log" "signing $name (Authenticode, SHA-256, signing time $(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T') UTC${tsurl:+, time stamp from $tsurl})" \
      "${sign[@]}" -in "$exe" -out "$signed"
    local verify=(osslsigncode verify -in "$signed")
    [[ -z $ca ]] || verify+=(-CAfile "$ca")
    [[ -z $ca || -z $tsurl ]] || verify+=(-TSA-CAfile "$ca")
    step "$name-verify.log" "verifying the signature of $name" "${verify[@]}"
    sed -n '/^Signature verification/p;/^Timestamp Server Signature verification/p;/^Number of verified signatures/p' \
      "$work/$name-verify.log" | sed 's/^/   /'
    # A time stamp asked for must be there and verified, not silently missing.
    if [[ -n $tsurl ]] && ! grep -q '^Timestamp Server Signature verification: ok' "$work/$name-verify.log"; then
      cat "$work/$name-verify.log" >&2
      echo "release: FAILED: the signature of $name carries no verified time stamp from $tsurl" >&2
      exit 1
    fi
    step "$name-check-signed.log" "checking the signed $name still carries the image unchanged" \
      "$pe_python" tests/resources/inspect_pe.py --exe "$signed" --image "$image" --machine "$machine"
    exe=$signed
  fi
  echo "$exe" >"$work/$name.path"
}
windows_exe windows i386 scanfw.exe
windows_exe windows-x64 x86-64 scanfw-x64.exe

# ---------------------------------------------------------------- Linux
# Debian's hardening flags, as a Debian build would use them.
build_linux() {
  local cflags="-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat -Werror=format-security"
  cmake --preset linux -B "$builds/linux" -DCMAKE_BUILD_TYPE=Release \
    -DSCANFW_FIRMWARE_IMAGE="$image" -DSCANFW_FIRMWARE_RELEASE="$release" \
    -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_C_FLAGS="$cflags" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" &&
    cmake --build "$builds/linux" -j "$jobs" --target scanfw
}
step linux.log "building scanfw for Linux (Release) $fresh" build_linux

# The package's tree: every file written here, modes set, owner root (by
# dpkg-deb), every time stamp the release's.
stage=$work/deb
pkg=packaging/debian
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/lib/udev/rules.d" \
  "$stage/usr/share/man/man1" "$stage/usr/share/doc/scanfw"
install -m 755 "$builds/linux/scanfw" "$stage/usr/bin/scanfw"
strip --remove-section=.comment --remove-section=.note "$stage/usr/bin/scanfw"
install -m 644 platform/linux/70-scanfw.rules "$stage/usr/lib/udev/rules.d/70-scanfw.rules"
gzip -9n <"$pkg/scanfw.1" >"$stage/usr/share/man/man1/scanfw.1.gz"
install -m 644 "$pkg/copyright" "$stage/usr/share/doc/scanfw/copyright"
maintainer=${SCANFW_MAINTAINER:-"scanfw authors <scanfw@example.org>"}
{
  printf 'scanfw (%s) unstable; urgency=medium\n\n' "$VERSION"
  printf '  * Release %s, built from commit %s.\n\n' "$VERSION" "${commit%-dirty}"
  printf ' -- %s  %s\n' "$maintainer" "$(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$stage/usr/share/doc/scanfw/changelog.gz"
chmod 644 "$stage/usr/share/man/man1/scanfw.1.gz" "$stage/usr/share/doc/scanfw/changelog.gz"
install -m 755 "$pkg/postinst" "$pkg/postrm" "$stage/DEBIAN/"
step elf-check.log "checking the Linux scanfw carries the image unchanged" \
  python3 tests/resources/inspect_elf.py --image "$image" --carrier "$stage/usr/bin/scanfw"

# Depends from the libraries the program links, as dpkg-shlibdeps finds them.
mkdir -p "$work/shlibs/debian"
printf 'Source: scanfw\n\nPackage: scanfw\nArchitecture: amd64\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O -e"$stage/usr/bin/scanfw" 2>"$work/shlibdeps.log" |
          sed -n 's/^shlibs:Depends=//p') || true
[[ -n $depends ]] || { cat "$work/shlibdeps.log" >&2; die "dpkg-shlibdeps found no dependencies"; }
(cd "$stage" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/md5sums"
# The files' own bytes, in KiB rounded up: du would also count what the
# file system gives its folders, which differs from one file system to the
# next and so would make the package depend on where it was staged.
size_kib=$(find "$stage/usr" -type f -printf '%s\n' | awk '{ s += $1 } END { print int((s + 1023) / 1024) }')
cat >"$stage/DEBIAN/control" <<EOF
Package: scanfw
Version: $VERSION
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $size_kib
Depends: $depends
Section: utils
Priority: optional
Description: firmware updater for the 3a7c:4e21 USB document scanner
 scanfw finds the scanner among the attached USB devices, sends it the
 firmware image that the program carries inside itself, follows the scanner
 while it burns the image into its flash memory, and reports each step in
 English or Traditional Chinese.
 .
 The package also installs the udev rule that gives the user at the
 machine access to the scanner.
EOF
chmod 644 "$stage/DEBIAN/control"
find "$stage" -exec touch --no-dereference -d "@$SOURCE_DATE_EPOCH" {} +
step deb.log "packaging $DEB" \
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$work/$DEB"

# ---------------------------------------------------------------- results
mkdir -p -- "$out" || die "cannot create the output folder '$out'"
install -m 644 "$(cat "$work/scanfw.exe.path")" "$out/scanfw.exe"
install -m 644 "$(cat "$work/scanfw-x64.exe.path")" "$out/scanfw-x64.exe"
install -m 644 "$work/$DEB" "$out/$DEB"
(cd "$out" && sha256sum scanfw.exe scanfw-x64.exe "$DEB" >SHA256SUMS)
touch -d "@$SOURCE_DATE_EPOCH" "$out/scanfw.exe" "$out/scanfw-x64.exe" "$out/$DEB" "$out/SHA256SUMS"

echo "== made in $out, from ${commit} with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T') UTC):"
while read -r sum name; do
  printf '   %-26s %10d bytes  sha256 %s\n' "$name" "$(stat -c %s "$out/$name")" "$sum"
done <"$out/SHA256SUMS"
printf '   %-26s %10d bytes\n' SHA256SUMS "$(stat -c %s "$out/SHA256SUMS")"
if [[ -n $cert ]]; then
  echo "   scanfw.exe and scanfw-x64.exe are signed by: $(openssl x509 -in "$cert" -noout -subject -nameopt oneline | sed 's/^subject= *//')"
else
  echo "   scanfw.exe and scanfw-x64.exe are NOT signed (no --cert/--key given)"
fi
