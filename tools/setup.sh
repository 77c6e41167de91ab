#!/usr/bin/env bash
# Installs what building and testing the Downloader needs on Debian, only
# where it is missing, so that running it again on a ready machine changes
# nothing.
#
#   setup.sh              what the run and test commands need
#   setup.sh --shipped    only what building the shipped 32-bit program needs
#   setup.sh --release    what building and signing a release needs
#   setup.sh --32-bit     also what the 32-bit test run needs; exits 77 with
#                         one line saying why when this machine cannot run it
#                         (after setting up all the rest)
#
# An apt index that cannot be fetched is a warning, and no step removes a
# package (see tools/apt-install.sh).
set -euo pipefail

mode=${1:-}
case "$mode" in
    "" | --shipped | --release | --32-bit) ;;
    *) echo "usage: setup.sh [--shipped | --release | --32-bit]" >&2; exit 2 ;;
esac

# The 32-bit compiler builds the shipped program; the 64-bit one builds the
# copy that runs here under 64-bit Wine (see docs/building-and-releasing.md). nginx and curl are
# for the download benchmark; tinyproxy is the proxy that asks for a password
# in the progress dialog's tests; openssl and osslsigncode make the certificates
# and signed programs of the tests and the demo; the release test signs with a
# key on SoftHSM2's software token, reached through OpenSSL's PKCS#11 engine;
# clang, with libFuzzer in libclang-rt-14-dev, builds the fuzz targets;
# xprop (x11-utils) tells whether a user's display has a window manager.
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake make wine wine64 xvfb x11-utils
          locales fonts-ipafont-gothic xdotool imagemagick python3 googletest
          nginx-light curl openssl osslsigncode tinyproxy-bin softhsm2
          libengine-pkcs11-openssl git clang libclang-rt-14-dev)
# The shipped program alone needs the 32-bit compiler, the build tools, the
# script that draws its art and git, whose commit time dates the file; a
# release also signs it, with a key in a file or on a token behind the
# PKCS#11 engine.
[ "$mode" = --shipped ] && packages=(g++-mingw-w64-i686 cmake make python3 git)
[ "$mode" = --release ] && packages=(g++-mingw-w64-i686 cmake make python3 git osslsigncode libengine-pkcs11-openssl)

# wine32:i386 goes into the same apt call as the 64-bit packages that have
# an i386 twin of the same version (Multi-Arch: same) or that need one at
# their own version, so that apt can pick one version for both.
packages_32bit=(wine32:i386 wine64 libwine libgstreamer-plugins-base1.0-0)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

source "$(dirname "$0")/env.sh"
source "$ROOT/tools/apt-install.sh"
APT_WORK_DIR="$ROOT/build/apt"

# Why the 32-bit test run cannot run on this machine, once that is known.
# The 64-bit set-up goes on; the reason is given in one line at the end.
cannot_run_32bit=
cannot_run() {
    cannot_run_32bit=$*
}

# The 32-bit test run. These kernels run no 32-bit code themselves: qemu's
# user-mode emulator runs 32-bit Wine, handed every 32-bit program through a
# binfmt_misc registration that exists only inside a private user namespace
# around that run (see tools/with-wine32.sh). Nothing here registers anything.
#
# qemu-i386 comes from the release's backports suite (bookworm's own qemu 7.2
# has no MAP_FIXED_NOREPLACE and takes minutes to start Wine). The package
# is fetched with a private apt configuration under the build folder and
# only its one static program is unpacked there, so the system's sources
# and packages stay as they are. The archive's address comes from the
# machine's own apt sources.
fetch_qemu() {
    local codename sources archive keyring apt_dir private_apt version
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
        return
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
    # An index that fails is a warning: an index fetched before may still do.
    if ! apt-get "${private_apt[@]}" update -q >"$apt_dir/update.log" 2>&1; then
        echo "setup: warning: apt could not fetch every index of $codename-backports (see $apt_dir/update.log)" >&2
    fi
    version=$(apt-cache "${private_apt[@]}" policy qemu-user | awk '$1 == "Candidate:" { print $2 }')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        if grep -q 'does not have a Release file' "$apt_dir/update.log"; then
            cannot_run "the archive $archive has no $codename-backports suite"
        elif grep -q '^E: ' "$apt_dir/update.log"; then
            cannot_run "the index of $codename-backports could not be fetched: $(grep -m 1 '^E: ' "$apt_dir/update.log")"
        else
            cannot_run "$codename-backports has no qemu-user"
        fi
        return
    fi
    rm -f "$apt_dir"/qemu-user_*.deb
    if ! (cd "$apt_dir" && apt-get "${private_apt[@]}" download -q "qemu-user=$version" >"$apt_dir/download.log" 2>&1); then
        cannot_run "qemu-user $version could not be downloaded (see $apt_dir/download.log)"
        return
    fi
    dpkg-deb --fsys-tarfile "$apt_dir"/qemu-user_*.deb | tar -x -C "$QEMU_DIR" ./usr/bin/qemu-i386
    rm -f "$apt_dir"/qemu-user_*.deb
    "$QEMU_I386" --version | head -n 1
}

if [ "$mode" = --32-bit ]; then
    # A private binfmt_misc needs user namespaces and a kernel that gives each
    # user namespace its own binfmt_misc (Linux 6.7 and later).
    if ! unshare --user --map-root-user --mount --fork \
            sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' >/dev/null 2>&1; then
        cannot_run "no binfmt_misc of its own in a user namespace (needs user namespaces and Linux 6.7 or later; this is $(uname -r))"
    elif ! "$QEMU_I386" --version >/dev/null 2>&1; then
        fetch_qemu
    fi
    # Before anything is installed, so that the first install already
    # reads the i386 indexes and picks versions that both architectures have.
    if [ -z "$cannot_run_32bit" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "setup: adding the i386 architecture"
        as_root dpkg --add-architecture i386
    fi
fi

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
# 32-bit Wine (about a hundred i386 packages). Installing it also makes
# /usr/bin/wine pick the 32-bit loader; the project calls each loader by its
# path.
missing_32bit=()
if [ "$mode" = --32-bit ] && [ -z "$cannot_run_32bit" ] && ! installed wine32:i386; then
    missing_32bit=("${packages_32bit[@]}")
fi

if [ "${#missing[@]}" -gt 0 ] || [ "${#missing_32bit[@]}" -gt 0 ]; then
    echo "setup: installing" "${missing[@]}" "${missing_32bit[@]}"
    apt_update
    installed_all=
    if [ "${#missing_32bit[@]}" -gt 0 ]; then
        if apt_install "${missing[@]}" "${missing_32bit[@]}"; then
            installed_all=1
        else
            cannot_run "wine32:i386 cannot be installed beside the 64-bit packages from this machine's apt sources (apt's reasons above)"
        fi
    fi
    if [ -z "$installed_all" ] && [ "${#missing[@]}" -gt 0 ] && ! apt_install "${missing[@]}"; then
        echo "setup: cannot install ${missing[*]} (apt's reasons above)" >&2
        exit 1
    fi
fi

[ "$mode" = --shipped ] || [ "$mode" = --release ] && exit 0

# Wine reports code page 932 only when the Japanese locale exists.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    if ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
        echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    fi
    as_root locale-gen
fi

if [ -n "$cannot_run_32bit" ]; then
    echo "setup: the 32-bit test run cannot run on this machine: $cannot_run_32bit" >&2
    exit 77
fi
