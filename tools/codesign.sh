#!/usr/bin/env bash
# Authenticode signing for the tests, the demo and the benchmarks, with
# certificates made here (nothing of a real publisher is involved):
#
#   codesign.sh authority <folder> <name>
#       makes a root certificate and a code-signing certificate issued by
#       it in <folder>: root.der (for a certificate store), signer.key and
#       chain.pem (the signing certificate, then the root).
#   codesign.sh sign <folder> <program> <signed copy>
#       signs a copy of <program> with the authority in <folder>.
set -euo pipefail

authority() {
    local folder=$1 name=$2
    mkdir -p "$folder"
    local work
    work=$(mktemp -d "$folder/.make.XXXXXX")
    # The private keys stay in the build folder only.
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
        -subj "/O=$name/CN=$name Root" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$work/root.key" -out "$work/root.pem" 2>/dev/null
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
        -CA "$work/root.pem" -CAkey "$work/root.key" \
        -subj "/O=$name/CN=$name Code Signing" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null
    openssl x509 -in "$work/root.pem" -outform DER -out "$work/root.der"
    cat "$work/signer.pem" "$work/root.pem" >"$work/chain.pem"
    mv "$work/root.key" "$work/root.pem" "$work/signer.key" "$work/signer.pem" "$work/chain.pem" "$folder/"
    # root.der last: it is what the build waits for.
    mv "$work/root.der" "$folder/"
    rmdir "$work"
}

sign() {
    local folder=$1 program=$2 signed=$3
    rm -f "$signed"
    osslsigncode sign -certs "$folder/chain.pem" -key "$folder/signer.key" -h sha256 \
        -n "$(basename "$signed")" -in "$program" -out "$signed.part" >/dev/null
    mv "$signed.part" "$signed"
}

usage() {
    echo "usage: codesign.sh authority <folder> <name> | sign <folder> <program> <signed copy>" >&2
    exit 2
}

case "${1:-}" in
    authority) [ $# -eq 3 ] || usage; authority "$2" "$3" ;;
    sign) [ $# -eq 4 ] || usage; sign "$2" "$3" "$4" ;;
    *) usage ;;
esac
