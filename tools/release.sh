#!/usr/bin/env bash
# Makes a release of the shipped program, in this order:
#   0. takes the pin of the one installer this release starts unasked: the
#      SHA-256 Authenticode digest of the maker's signed installer;
#   1. builds it in a fresh folder (its header dated by the commit, so that
#      anyone gets the same bytes) with that pin, and prints the SHA-256 of
#      the unsigned file;
#   2. signs it with osslsigncode (Authenticode, SHA-256), the key taken from
#      a PFX file or from a PKCS#11 token;
#   3. adds an RFC 3161 timestamp when a timestamp URL is given;
#   4. verifies the signed file;
#   5. checks that removing the signature gives back the unsigned bytes.
#
#   release.sh (--installer FILE | --installer-sha256 DIGEST) --pfx FILE [options]
#   release.sh (--installer FILE | --installer-sha256 DIGEST)
#              --module MODULE.so --key PKCS11-URI --certs CHAIN.pem [options]
#
#   --installer FILE  the maker's signed installer that goes with this release
#   --installer-sha256 DIGEST
#                     its SHA-256 Authenticode digest (64 hex digits), as
#                     installer-pin.sh digest prints it
#   --pin-file FILE   the token's PIN or the PFX password, read from FILE;
#                     without it, asked for on the terminal
#   --timestamp URL   the CA's RFC 3161 timestamp server
#   --ca FILE         the root certificates to verify against (PEM; the
#                     system's by default)
#   --out FOLDER      where the release goes (default build/release)
#   --unsigned FILE   releases this already-built program instead of step 1;
#                     it must carry the installer's pin
#
# The release folder then holds QuilloCamKitDL.exe (signed),
# QuilloCamKitDL.unsigned.exe, SHA256SUMS and BUILDINFO (the commit, the
# date in the header, the pinned installer digest and the Debian packages the
# bytes depend on). The PIN
# never appears on a command line: osslsigncode reads it from a file
# (-readpass).
set -euo pipefail
source "$(dirname "$0")/env.sh"

usage() {
    echo "usage: release.sh (--installer FILE | --installer-sha256 DIGEST)" \
        "(--pfx FILE | --module MODULE --key PKCS11-URI --certs CHAIN.pem)" \
        "[--pin-file FILE] [--timestamp URL] [--ca FILE] [--out FOLDER] [--unsigned FILE]" >&2
    exit 2
}

fail() {
    echo "release: $*" >&2
    exit 1
}

pfx= module= key= certs= pin_file= timestamp= ca= out="$ROOT/build/release" unsigned= installer= installer_sha256=
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case "$1" in
        --pfx) pfx=$2 ;;
        --module) module=$2 ;;
        --key) key=$2 ;;
        --certs) certs=$2 ;;
        --pin-file) pin_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --ca) ca=$2 ;;
        --out) out=$2 ;;
        --unsigned) unsigned=$2 ;;
        --installer) installer=$2 ;;
        --installer-sha256) installer_sha256=$2 ;;
        *) usage ;;
    esac
    shift 2
done
# 0. One release of the program goes with one installer: without it, the
# program would start no installer unasked.
if [ -n "$installer" ]; then
    [ -z "$installer_sha256" ] || fail "give either --installer or --installer-sha256, not both"
    installer_sha256=$(bash "$ROOT/tools/installer-pin.sh" digest "$installer") ||
        fail "the installer $installer cannot be pinned"
fi
[ -n "$installer_sha256" ] ||
    fail "no installer: give the maker's signed installer (--installer FILE) or its digest (--installer-sha256)"
[[ "$installer_sha256" =~ ^[0-9a-fA-F]{64}$ ]] || fail "--installer-sha256 must be 64 hexadecimal digits"
installer_sha256=${installer_sha256,,}
echo "installer SHA-256 (Authenticode): $installer_sha256"

if [ -n "$pfx" ]; then
    [ -z "$module$key$certs" ] || fail "give either --pfx or a token (--module, --key, --certs), not both"
    [ -r "$pfx" ] || fail "cannot read the PFX file $pfx"
    signer=(-pkcs12 "$pfx")
else
    [ -n "$module" ] && [ -n "$key" ] && [ -n "$certs" ] || usage
    [ -r "$module" ] || fail "cannot read the token's PKCS#11 module $module"
    [[ "$key" == pkcs11:* ]] || fail "--key must be a PKCS#11 URI (pkcs11:token=...;object=...), not $key"
    [ -r "$certs" ] || fail "cannot read the certificate chain $certs"
    # The token holds the key; the certificate and the chain up to the root
    # come from the file, as the CA hands them out.
    signer=(-pkcs11module "$module" -key "$key" -certs "$certs")
fi
[ -z "$pin_file" ] || [ -r "$pin_file" ] || fail "cannot read the PIN file $pin_file"
[ -z "$ca" ] || [ -r "$ca" ] || fail "cannot read the root certificates $ca"
[ -z "$unsigned" ] || [ -r "$unsigned" ] || fail "cannot read the program $unsigned"

"$ROOT/tools/setup.sh" --release
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "$out/.release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 1. The build, from a commit: a file built from changes nobody else has
# could never be checked against the sources.
if [ -z "$unsigned" ]; then
    if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1 &&
        [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
        fail "the working tree has changes that are not committed; a release is built from a commit"
    fi
    bash "$ROOT/tools/build-shipped.sh" "$work/build" "$installer_sha256" >/dev/null
    unsigned="$work/build/app/QuilloCamKitDL.exe"
    commit=$(git -C "$ROOT" rev-parse HEAD 2>/dev/null || echo "none (not a git checkout)")
fi
# The pin is stored in the program as its 32 bytes.
python3 -c 'import sys; sys.exit(bytes.fromhex(sys.argv[1]) not in open(sys.argv[2], "rb").read())' \
    "$installer_sha256" "$unsigned" ||
    fail "$unsigned does not carry the pin of that installer"
cp "$unsigned" "$work/QuilloCamKitDL.unsigned.exe"
echo "unsigned SHA-256: $(sha256sum <"$work/QuilloCamKitDL.unsigned.exe" | cut -d' ' -f1)"

# 2 and 3. The PIN goes to osslsigncode through a file; a PIN typed at the
# prompt through a pipe that only osslsigncode reads.
pass=()
if [ -n "$pin_file" ]; then
    pass=(-readpass "$pin_file")
else
    [ -t 0 ] || fail "no PIN: give --pin-file FILE, or run from a terminal to be asked for it"
    read -rsp "PIN or password: " pin
    echo >&2
fi
sign=(osslsigncode sign "${signer[@]}" -h sha256 -n QuilloCamKitDL -in "$work/QuilloCamKitDL.unsigned.exe"
      -out "$work/QuilloCamKitDL.exe")
[ -z "$timestamp" ] || sign+=(-ts "$timestamp")
if [ -n "${pin:-}" ]; then
    "${sign[@]}" "${pass[@]}" -readpass /dev/fd/3 3< <(printf '%s' "$pin") >"$work/sign.log" 2>&1 ||
        { cat "$work/sign.log" >&2; fail "signing failed"; }
else
    "${sign[@]}" "${pass[@]}" >"$work/sign.log" 2>&1 || { cat "$work/sign.log" >&2; fail "signing failed"; }
fi
unset pin

# 4. The signature against the given roots (or the system's), the
# timestamp's too.
verify=(osslsigncode verify -in "$work/QuilloCamKitDL.exe")
[ -z "$ca" ] || verify+=(-CAfile "$ca" -TSA-CAfile "$ca")
"${verify[@]}" >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; fail "the signed file does not verify"; }

# 5. What anyone can check against their own build.
osslsigncode remove-signature -in "$work/QuilloCamKitDL.exe" -out "$work/stripped.exe" >/dev/null
cmp -s "$work/stripped.exe" "$work/QuilloCamKitDL.unsigned.exe" ||
    fail "removing the signature does not give back the unsigned file"

(cd "$work" && sha256sum QuilloCamKitDL.exe QuilloCamKitDL.unsigned.exe >SHA256SUMS)
echo "signed SHA-256:   $(cut -d' ' -f1 <"$work/SHA256SUMS" | head -n 1)"
# What a rebuild needs to give the same bytes: the sources, the date and
# the toolchain's versions.
{
    echo "commit ${commit:-unknown (built elsewhere: $unsigned)}"
    echo "installer $installer_sha256"
    echo "date $(od -An -tu4 -j$(($(od -An -tu4 -j60 -N4 "$unsigned") + 8)) -N4 "$unsigned" | tr -d ' ')"
    dpkg-query -W -f='${Package} ${Version}\n' binutils-mingw-w64-i686 gcc-mingw-w64-i686-posix \
        g++-mingw-w64-i686-posix mingw-w64-i686-dev cmake make python3
} >"$work/BUILDINFO"
mv "$work/QuilloCamKitDL.unsigned.exe" "$work/SHA256SUMS" "$work/BUILDINFO" "$out/"
mv "$work/QuilloCamKitDL.exe" "$out/"
echo "$out/QuilloCamKitDL.exe"
