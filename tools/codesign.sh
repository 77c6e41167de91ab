#!/usr/bin/env bash
# Authenticode signing for the tests, the demo and the benchmarks, with
# certificates made here (nothing of a real publisher is involved):
#
#   codesign.sh authority <folder> <root subject> <signer subject>
#       makes a root certificate and a code-signing certificate issued by
#       it in <folder>: root.der (for a certificate store), signer.der,
#       signer.key and chain.pem (the signing certificate, then the root).
#   codesign.sh signer <folder> <authority folder> <signer subject>
#       makes a further code-signing certificate in <folder>, issued by the
#       root of <authority folder> (a second publisher under the same root).
#   codesign.sh sign <folder> <program> <signed copy>
#       signs a copy of <program> with the certificate in <folder>.
#   codesign.sh pad <signed program> <copy>
#       a copy with 48 bytes of text added inside its certificate table and
#       both lengths (the table's and its WIN_CERTIFICATE's) enlarged to
#       cover them, as an attacker adds data to a signed file (CVE-2013-3900).
# Subjects are in OpenSSL's form, "/C=JP/O=Maker/CN=Maker Code Signing".
set -euo pipefail

# A code-signing certificate for <subject> issued by the root in <issuer>,
# written with its key into <work>, the chain and root.der beside them.
issue_signer() {
    local work=$1 issuer=$2 subject=$3
    # The private keys stay in the build folder only.
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
        -CA "$issuer/root.pem" -CAkey "$issuer/root.key" \
        -subj "$subject" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null
    openssl x509 -in "$work/signer.pem" -outform DER -out "$work/signer.der"
    cat "$work/signer.pem" "$issuer/root.pem" >"$work/chain.pem"
    openssl x509 -in "$issuer/root.pem" -outform DER -out "$work/root.der"
}

# Moves what <work> holds into <folder>, root.der last: it is what the
# build waits for.
publish() {
    local work=$1 folder=$2
    find "$work" -maxdepth 1 -type f ! -name root.der -exec mv {} "$folder/" \;
    mv "$work/root.der" "$folder/"
    rmdir "$work"
}

authority() {
    local folder=$1 root_subject=$2 signer_subject=$3
    mkdir -p "$folder"
    local work
    work=$(mktemp -d "$folder/.make.XXXXXX")
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
        -subj "$root_subject" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$work/root.key" -out "$work/root.pem" 2>/dev/null
    issue_signer "$work" "$work" "$signer_subject"
    publish "$work" "$folder"
}

signer() {
    local folder=$1 issuer=$2 subject=$3
    mkdir -p "$folder"
    local work
    work=$(mktemp -d "$folder/.make.XXXXXX")
    issue_signer "$work" "$issuer" "$subject"
    publish "$work" "$folder"
}

sign() {
    local folder=$1 program=$2 signed=$3
    rm -f "$signed"
    osslsigncode sign -certs "$folder/chain.pem" -key "$folder/signer.key" -h sha256 \
        -n "$(basename "$signed")" -in "$program" -out "$signed.part" >/dev/null
    mv "$signed.part" "$signed"
}

pad() {
    python3 - "$1" "$2.part" <<'PAD'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
added = (b"Data added after signing, inside the table. " + b"-" * 48)[:48]
headers = struct.unpack_from("<I", data, 0x3C)[0]
magic = struct.unpack_from("<H", data, headers + 24)[0]
entry = headers + 24 + (96 if magic == 0x10B else 112) + 4 * 8
offset, size = struct.unpack_from("<II", data, entry)
assert offset + size == len(data) and len(added) == 48
struct.pack_into("<I", data, entry + 4, size + len(added))
struct.pack_into("<I", data, offset, struct.unpack_from("<I", data, offset)[0] + len(added))
open(sys.argv[2], "wb").write(data + added)
PAD
    mv "$2.part" "$2"
}

usage() {
    echo "usage: codesign.sh authority <folder> <root subject> <signer subject>" \
        "| signer <folder> <authority folder> <signer subject> | sign <folder> <program> <signed copy>" \
        "| pad <signed program> <copy>" >&2
    exit 2
}

case "${1:-}" in
    authority) [ $# -eq 4 ] || usage; authority "$2" "$3" "$4" ;;
    signer) [ $# -eq 4 ] || usage; signer "$2" "$3" "$4" ;;
    sign) [ $# -eq 4 ] || usage; sign "$2" "$3" "$4" ;;
    pad) [ $# -eq 3 ] || usage; pad "$2" "$3" ;;
    *) usage ;;
esac
