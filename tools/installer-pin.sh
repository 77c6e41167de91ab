#!/usr/bin/env bash
# The pin of the one installer the program starts unasked: the SHA-256
# Authenticode digest of its signed image, which is the same after the
# maker signs it again (a renewed certificate, a new timestamp).
#
#   installer-pin.sh digest SIGNED-INSTALLER
#       prints the digest the installer's primary signature covers, after
#       checking that it is SHA-256 and that the file still has that digest
#   installer-pin.sh header DIGEST|SIGNED-INSTALLER|none HEADER
#       writes the program's header with that pin (none: nothing is
#       pinned, and every installer gets the question), and the digest
#       (or "none") into the file named as HEADER with .sha256 for .h; an
#       unchanged header is left as it is, so that nothing is rebuilt for it
set -euo pipefail

fail() {
    echo "installer-pin: $*" >&2
    exit 1
}

digest() {
    [ -r "$1" ] || fail "cannot read the installer $1"
    # Verification against any roots: only the digests are read here.
    local report algorithm current calculated
    report=$(osslsigncode verify -in "$1" 2>/dev/null || true)
    algorithm=$(sed -n '/Primary Signature/,$s/^Message digest algorithm *: *//p' <<<"$report" | head -n 1)
    current=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$report" | head -n 1)
    calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$report" | head -n 1)
    [ -n "$current" ] || fail "$1 carries no Authenticode signature"
    [ "$algorithm" = SHA256 ] || fail "the signature of $1 covers a $algorithm digest, not SHA-256"
    [ "$current" = "$calculated" ] || fail "$1 was changed after it was signed"
    tr 'A-F' 'a-f' <<<"$current"
}

header() {
    local pin=$1 out=$2 bytes
    if [ "$pin" = none ]; then
        bytes="{}"
    else
        [[ "$pin" =~ ^[0-9a-fA-F]{64}$ ]] || pin=$(digest "$pin")
        pin=${pin,,}
        bytes="{$(sed 's/../0x&,/g; s/,$//' <<<"$pin")}"
    fi
    mkdir -p "$(dirname "$out")"
    echo "$pin" >"${out%.h}.sha256"
    printf '// Made by tools/installer-pin.sh: the pinned installer digest.\n#define INSTALLER_SHA256_BYTES %s\n' \
        "$bytes" >"$out.part"
    if cmp -s "$out.part" "$out"; then rm "$out.part"; else mv "$out.part" "$out"; fi
}

case "${1:-}" in
    digest) [ $# -eq 2 ] || fail "usage: installer-pin.sh digest SIGNED-INSTALLER"; digest "$2" ;;
    header) [ $# -eq 3 ] || fail "usage: installer-pin.sh header DIGEST|SIGNED-INSTALLER|none HEADER"; header "$2" "$3" ;;
    *) fail "usage: installer-pin.sh digest SIGNED-INSTALLER | header DIGEST|SIGNED-INSTALLER|none HEADER" ;;
esac
