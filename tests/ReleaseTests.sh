#!/usr/bin/env bash
# ReleaseTests.sh reproducible <folder> | sign <folder> <unsigned program>: the
# release's promises, on the host, with every file under <folder>. The signed
# release is left in <folder>/out for the resource tests, its root in root.der.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
unset SOURCE_DATE_EPOCH
fail() { echo "FAIL: $*" >&2; exit 1; }
date_of() { od -An -tu4 -j$(($(od -An -tu4 -j60 -N4 "$1") + 8)) -N4 "$1" | tr -d ' '; }

reproducible() {
    local short=$1/a long=$1/a-folder-whose-name-is-longer commit=$(git -C "$root" log -1 --format=%ct)
    local installer=$(echo installer | sha256sum | cut -d' ' -f1)
    rm -rf "$1"
    SOURCE_DATE_EPOCH=1000000000 bash "$root/tools/build-shipped.sh" "$long" >/dev/null
    [ "$(date_of "$long/app/QuilloCamKitDL.exe")" = 1000000000 ] || fail "SOURCE_DATE_EPOCH is not the date"
    bash "$root/tools/build-shipped.sh" "$short" "$installer" >/dev/null
    bash "$root/tools/build-shipped.sh" "$long" "$installer" >/dev/null
    sha256sum "$short/app/QuilloCamKitDL.exe" "$long/app/QuilloCamKitDL.exe"
    python3 -c 'import sys; sys.exit(bytes.fromhex(sys.argv[1]) not in open(sys.argv[2], "rb").read())' \
        "$installer" "$short/app/QuilloCamKitDL.exe" || fail "the installer is not pinned"
    [ "$(date_of "$short/app/QuilloCamKitDL.exe")" = "$commit" ] || fail "the commit time is not the date"
    cmp "$short/app/QuilloCamKitDL.exe" "$long/app/QuilloCamKitDL.exe" || fail "two builds differ"
    mkdir "$1/exported" && git -C "$root" archive HEAD | tar -x -C "$1/exported"
    bash "$root/cmake/source-date.sh" write "$1/exported" "$1/exported/build" "$1/exported.date"
    [ "$(cat "$1/exported.date")" = "$commit" ] || fail "an exported tree is not dated by its commit"
}

sign() {
    rm -rf "$1" && mkdir -p "$1/tokens" "$1/bin" && cd "$1"
    local pin port ca=(-x509 -new -newkey rsa:2048 -nodes -days 2 -addext "basicConstraints=critical,CA:")
    openssl req "${ca[@]}TRUE" -subj /CN=Root -keyout root.key -out root.pem 2>/dev/null
    openssl req "${ca[@]}FALSE" -subj "/C=JP/O=ZEMBRA Co., Ltd./CN=Signer" -CA root.pem -CAkey root.key -keyout signer.key -out signer.pem \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
    cat signer.pem root.pem >chain.pem && openssl x509 -in root.pem -outform DER -out root.der
    pin=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n') && echo "$pin" >pin && echo wrong >wrong-pin
    openssl pkcs12 -export -inkey signer.key -in signer.pem -passout file:pin -out signer.pfx
    export SOFTHSM2_CONF=$1/softhsm2.conf PATH="$1/bin:$PATH" no_proxy=127.0.0.1
    echo "directories.tokendir = $1/tokens" >"$SOFTHSM2_CONF"
    softhsm2-util --init-token --free --label release --so-pin "$pin" --pin "$pin" >/dev/null
    softhsm2-util --import signer.key --token release --label signer --id 01 --pin "$pin" >/dev/null && rm signer.key
    # osslsigncode as the release runs it, its command lines recorded.
    printf '#!/bin/sh\necho "$*" >>%s/commands\nexec /usr/bin/osslsigncode "$@"\n' "$1" >bin/osslsigncode && chmod +x bin/osslsigncode
    local installer=$(cat "$(dirname "$2")/../installer-pin/InstallerPin.sha256")
    local release=(bash "$root/tools/release.sh" --module /usr/lib/softhsm/libsofthsm2.so --certs chain.pem
                   --key "pkcs11:token=release;object=signer;type=private" --ca root.pem --unsigned "$2")
    # One release goes with one installer, the one its program carries.
    ! "${release[@]}" --pin-file pin --out out 2>/dev/null || fail "released without an installer"
    ! "${release[@]}" --pin-file pin --out out --installer-sha256 "$(echo other | sha256sum | cut -d' ' -f1)" \
        2>/dev/null || fail "released a program that pins another installer"
    release+=(--installer-sha256 "$installer")
    ! "${release[@]}" --pin-file wrong-pin --out out 2>/dev/null || fail "signed with a wrong PIN"
    # A time-stamp server that keeps the request and fails it.
    coproc server { python3 -c 'import http.server as h
class S(h.BaseHTTPRequestHandler):
    def do_POST(self):
        open("request", "wb").write(self.rfile.read(int(self.headers["Content-Length"])))
        self.send_response(503); self.end_headers()
s = h.HTTPServer(("127.0.0.1", 0), S); print(s.server_port, flush=True); s.handle_request()' 2>/dev/null; }
    read -r port <&"${server[0]}"
    ! "${release[@]}" --pin-file pin --out out --timestamp "http://127.0.0.1:$port/" 2>/dev/null || fail "no timestamp"
    kill $! 2>/dev/null || true
    openssl ts -query -in request -text 2>/dev/null | grep -q 'Hash Algorithm: sha256' || fail "no RFC 3161 request arrived"
    [ ! -e out/QuilloCamKitDL.exe ] || fail "a failed release left a signed file"
    "${release[@]}" --pin-file pin --out out | tee release.log
    grep -qx "unsigned SHA-256: $(sha256sum <"$2" | cut -d' ' -f1)" release.log || fail "no unsigned SHA-256"
    osslsigncode verify -CAfile root.pem -in out/QuilloCamKitDL.exe | grep -q 'Subject: /C=JP/O=ZEMBRA Co., Ltd./CN=Signer' || fail "unsigned"
    # The PFX password typed at the prompt, on a terminal of its own.
    grep -qx "installer $installer" out/BUILDINFO || fail "BUILDINFO does not name the installer"
    script -qec "$(printf '%q ' bash "$root/tools/release.sh" --pfx signer.pfx --ca root.pem --unsigned "$2" --out pfx \
        --installer-sha256 "$installer")" \
        /dev/null <pin >/dev/null || fail "not signed with the password typed at the prompt"
    grep -q -- "-h sha256 .*-ts http://127.0.0.1:$port/" commands || fail "the timestamp URL was not passed on"
    ! grep -qF "$pin" commands || fail "the PIN was on a command line"
}

"$@"
