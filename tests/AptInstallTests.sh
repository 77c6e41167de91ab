#!/usr/bin/env bash
# Usage: AptInstallTests.sh WORK-FOLDER. The set-up's apt steps against a local repository of two
# suites; the Release file of the second gives its i386 index a wrong size, as a mirror in mid-sync
# does. apt only simulates, with a configuration, lists and package status of its own in WORK-FOLDER.
set -euo pipefail
rm -rf "$1" && mkdir -p "$1" && work=$(cd "$1" && pwd) && repo=$work/repo && : >"$work/status"
mkdir -p "$work"/etc/{sources.list,apt.conf,preferences}.d "$work/state/lists/partial" "$work/cache/archives/partial"
while read -r suite arch package version field; do
    mkdir -p "$repo/dists/$suite/main/binary-$arch"
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\nFilename: pool/%s.deb\nSize: 1\n%s\n\n' \
        "$package" "$version" "$arch" "$package" "$field" >>"$repo/dists/$suite/main/binary-$arch/Packages"
done <<'EOF'
stable amd64 libwine 1.0 Multi-Arch: same
stable amd64 wine64 1.0 Depends: libwine (= 1.0)
stable i386 libwine 1.0 Multi-Arch: same
stable i386 wine32 1.0 Depends: libwine (= 1.0)
stable-security amd64 libwine 1.1 Multi-Arch: same
stable-security amd64 wine64 1.1 Depends: libwine (= 1.1)
stable-security i386 libwine 1.1 Multi-Arch: same
EOF
for suite in stable stable-security; do
    (cd "$repo/dists/$suite" && for index in main/*/Packages; do
        size=$(stat -c %s "$index")
        [ "$suite/$index" != stable-security/main/binary-i386/Packages ] || size=$((size + 1))
        echo " $(sha256sum <"$index" | cut -d' ' -f1) $size $index"
    done | sed "1i Suite: $suite\nDate: $(date -Ru)\nSHA256:" >Release)
done
printf 'Types: deb\nURIs: file:%s\nSuites: stable stable-security\nComponents: main\nTrusted: yes\n' "$repo" \
    >"$work/etc/sources.list.d/test.sources"
cp "$work/etc/sources.list.d/test.sources" "$work/sources.orig"
cat >"$work/apt.conf" <<EOF
Dir::Etc "$work/etc"; Dir::State "$work/state"; Dir::State::status "$work/status"; Dir::Cache "$work/cache";
APT::Architecture "amd64"; APT::Architectures { "amd64"; "i386"; }; APT::Sandbox::User "root"; APT::Get::Simulate "true";
EOF
export APT_CONFIG=$work/apt.conf APT_WORK_DIR=$work/setup
as_root() { "$@"; }
source "$(dirname "$0")/../tools/apt-install.sh"
fail() { echo "FAILED: $1"; cat "$work/out"; exit 1; }
check() { grep -q "$1" "$work/out" || fail "$2"; }

# The lists as the machine had them before i386 was added: stable-security's amd64 index stays.
apt-get -o APT::Architectures=amd64 update -q >/dev/null
apt_update >"$work/out" 2>&1 || fail "a failing index ends apt_update"
check '^setup: warning: .*(suites: stable-security)' "the failing suite is named in a warning"
apt_install wine64 wine32:i386 libwine >"$work/out" 2>&1 || fail "installs once stable-security is left out"
check '^Inst wine32:i386 (1.0 stable ' "wine32:i386 comes from stable"
cmp -s "$work/sources.orig" "$work/etc/sources.list.d/test.sources" || fail "the source list stays as it was"

# wine64 and libwine installed at 1.1 from stable-security, which has no i386 index here.
sed 's/^Package: .*/&\nStatus: install ok installed/' "$repo/dists/stable-security/main/binary-amd64/Packages" >"$work/status"
! apt_install wine32:i386 >"$work/out" 2>&1 || fail "a step that would remove packages fails"
check '^setup: not installing wine32:i386: apt would remove libwine wine64$' "the removal is reported in one line"
! grep -q '^Inst ' "$work/out" || fail "nothing is installed when a package would be removed"
echo "apt steps: failing index is a warning, retry without its suite, no removal: passed"
