#!/usr/bin/env bash
# Installs what building and testing the Downloader needs on Debian, only
# where it is missing, so that running it again on a ready machine changes
# nothing.
#
#   setup.sh              what the run and test commands need
#   setup.sh --shipped    only what building the shipped 32-bit program needs
#   setup.sh --32-bit     also what the 32-bit test run needs; exits 77 with
#                         one line saying why when this machine cannot run it
set -euo pipefail

mode=${1:-}
case "$mode" in
    "" | --shipped | --32-bit) ;;
    *) echo "usage: setup.sh [--shipped | --32-bit]" >&2; exit 2 ;;
esac

# The 32-bit compiler builds the shipped program; the 64-bit one builds the
# copy that runs here under 64-bit Wine (see README.md). nginx and curl are
# for the download benchmark; tinyproxy is the proxy that asks for a password
# in the progress dialog's tests; openssl and osslsigncode make the certificates
# and signed programs of the tests and the demo.
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake make wine wine64 xvfb
          locales fonts-ipafont-gothic xdotool imagemagick python3 googletest
          nginx-light curl openssl osslsigncode tinyproxy-bin)
# The shipped program alone needs the 32-bit compiler, the build tools and
# the script that draws its art.
[ "$mode" = --shipped ] && packages=(g++-mingw-w64-i686 cmake make python3)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

[ "$mode" = --shipped ] && exit 0

# Wine reports code page 932 only when the Japanese locale exists.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    if ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
        echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    fi
    as_root locale-gen
fi

[ "$mode" = --32-bit ] || exit 0

# The 32-bit test run. These kernels run no 32-bit code themselves: qemu's
# user-mode emulator runs 32-bit Wine, handed every 32-bit program through a
# binfmt_misc registration that exists only inside a private user namespace
# around that run (see tools/test-32bit.sh). Nothing here registers anything.
source "$(dirname "$0")/env.sh"

cannot_run() {
    echo "setup: the 32-bit test run cannot run on this machine: $*" >&2
    exit 77
}

# A private binfmt_misc needs user namespaces and a kernel that gives each
# user namespace its own binfmt_misc (Linux 6.7 and later).
if ! unshare --user --map-root-user --mount --fork \
        sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' >/dev/null 2>&1; then
    cannot_run "no binfmt_misc of its own in a user namespace (needs user namespaces and Linux 6.7 or later; this is $(uname -r))"
fi

# qemu-i386 from the release's backports suite (bookworm's own qemu 7.2
# has no MAP_FIXED_NOREPLACE and takes minutes to start Wine). The package
# is fetched with a private apt configuration under the build folder and
# only its one static program is unpacked there, so the system's sources
# and packages stay as they are. The archive's address comes from the
# machine's own apt sources. Checked before 32-bit Wine is installed, so
# that a machine without it installs nothing for a run it cannot make.
if ! "$QEMU_I386" --version >/dev/null 2>&1; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    sources=/etc/apt/sources.list.d/debian.sources
    # The URIs and Signed-By of the stanza that serves the release itself.
    read -r archive keyring < <(awk -v release="$codename" '
        function flush() {
            if (!found && uri != "" && (" " suites " ") ~ (" " release " ")) { print uri, key; found = 1 }
            uri = ""; suites = ""; key = ""
        }
        /^[[:space:]]*$/ { flush(); next }
        $1 == "URIs:" { uri = $2 }
        $1 == "Suites:" { $1 = ""; suites = $0 }
        $1 == "Signed-By:" { key = $2 }
        END { flush() }' "$sources" 2>/dev/null) || true
    if [ -z "${codename:-}" ] || [ -z "${archive:-}" ]; then
        cannot_run "no Debian archive for the release found in $sources"
    fi
    keyring=${keyring:-/usr/share/keyrings/debian-archive-keyring.gpg}

    apt_dir="$QEMU_DIR/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/preferences.d"
    echo "deb [signed-by=$keyring] $archive $codename-backports main" >"$apt_dir/sources.list"
    private_apt=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
                 -o Dir::Etc::Preferences=/nonexistent -o Dir::Etc::PreferencesParts="$apt_dir/preferences.d"
                 -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
                 -o APT::Sandbox::User=root)
    echo "setup: fetching qemu-i386 from $codename-backports into $QEMU_DIR"
    if ! apt-get "${private_apt[@]}" update -q >"$apt_dir/update.log" 2>&1; then
        if grep -q 'does not have a Release file' "$apt_dir/update.log"; then
            cannot_run "the archive $archive has no $codename-backports suite"
        fi
        cat "$apt_dir/update.log" >&2
        exit 1
    fi
    version=$(apt-cache "${private_apt[@]}" policy qemu-user | awk '$1 == "Candidate:" { print $2 }')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        cannot_run "$codename-backports has no qemu-user"
    fi
    rm -f "$apt_dir"/qemu-user_*.deb
    (cd "$apt_dir" && apt-get "${private_apt[@]}" download -q "qemu-user=$version" >/dev/null)
    dpkg-deb --fsys-tarfile "$apt_dir"/qemu-user_*.deb | tar -x -C "$QEMU_DIR" ./usr/bin/qemu-i386
    rm -f "$apt_dir"/qemu-user_*.deb
    "$QEMU_I386" --version | head -n 1
fi

# 32-bit Wine (about a hundred i386 packages). Installing it also makes
# /usr/bin/wine pick the 32-bit loader; the project calls each loader by its
# path.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    as_root dpkg --add-architecture i386
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "setup: installing wine32:i386"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386
fi
