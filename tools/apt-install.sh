# Installing Debian packages for tools/setup.sh, so that a mirror caught in
# the middle of a sync does not stop the set-up and no step takes a package
# away. Source it; it defines functions only. The caller defines as_root
# (runs a command as root) and APT_WORK_DIR (a folder of the build for the
# private copy of the apt sources). apt reads its configuration as usual,
# so APT_CONFIG can point every call at another one.

# Suites whose index apt_update could not fetch, separated by spaces.
APT_FAILED_SUITES=

# Fetches apt's indexes. An index that fails (a mirror in mid-sync answers
# "File has unexpected size") is a warning: apt keeps what it had of that
# suite, and apt_install can leave the suite out.
apt_update() {
    mkdir -p "$APT_WORK_DIR"
    local log="$APT_WORK_DIR/update.log"
    if ! as_root apt-get update -q 2>&1 | tee "$log"; then
        APT_FAILED_SUITES=$(sed -n 's|^[EW]: Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u | xargs)
        echo "setup: warning: apt could not fetch every index${APT_FAILED_SUITES:+ (suites: $APT_FAILED_SUITES)}; going on with what it has" >&2
    fi
}

# Installs the packages named, without recommended packages, in one apt
# call, so that apt picks one version for a package of both architectures.
# When that cannot be done with all of apt's sources, it tries again
# without the suites apt_update could not fetch. Returns non-zero when no
# try installed them.
apt_install() {
    apt_install_from "" "$@" && return 0
    [ -n "$APT_FAILED_SUITES" ] || return 1
    echo "setup: trying again without $APT_FAILED_SUITES"
    apt_sources_without_failed_suites
    apt_install_from "$APT_WORK_DIR/sources" "$@"
}

# apt_install_from SOURCES PACKAGE...: installs with the source lists in
# SOURCES (sources.list and sources.list.d/), or with the machine's own
# when SOURCES is empty. apt simulates the installation first: when it would
# remove a package, that is said in one line and nothing is installed.
# apt refuses to downgrade too (-y without --allow-downgrades).
apt_install_from() {
    local sources=$1 simulation removed
    shift
    local options=(--no-install-recommends)
    [ -z "$sources" ] || options+=(-o Dir::Etc::SourceList="$sources/sources.list"
                                   -o Dir::Etc::SourceParts="$sources/sources.list.d")
    if ! simulation=$(as_root apt-get -s "${options[@]}" install "$@" 2>&1); then
        printf '%s\n' "$simulation" >&2
        return 1
    fi
    removed=$(sed -n 's/^Remv \([^ ]*\).*/\1/p' <<<"$simulation" | sort | xargs)
    if [ -n "$removed" ]; then
        echo "setup: not installing $*: apt would remove $removed" >&2
        return 1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove "${options[@]}" "$@"
}

# Copies the machine's source lists into APT_WORK_DIR/sources without the
# suites in APT_FAILED_SUITES: a one-line entry of such a suite is left
# out; in a deb822 stanza its name is taken off the Suites line, and a
# stanza with no suite left is disabled.
apt_sources_without_failed_suites() {
    local list parts file copies="$APT_WORK_DIR/sources"
    eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
    rm -rf "$copies"
    mkdir -p "$copies/sources.list.d"
    [ ! -f "$list" ] || apt_leave_out_failed_suites <"$list" >"$copies/sources.list"
    for file in "$parts"*.list "$parts"*.sources; do
        [ ! -f "$file" ] || apt_leave_out_failed_suites <"$file" >"$copies/sources.list.d/${file##*/}"
    done
}

apt_leave_out_failed_suites() {
    awk -v failed=" $APT_FAILED_SUITES " '
        function left_out(suite) { return index(failed, " " suite " ") > 0 }
        /^[[:space:]]*deb(-src)?[[:space:]]/ {
            entry = $0; sub(/\[[^]]*\]/, "", entry); split(entry, field)
            if (!left_out(field[3])) print
            next
        }
        $1 == "Suites:" {
            kept = ""
            for (i = 2; i <= NF; i++) if (!left_out($i)) kept = kept " " $i
            print (kept == "" ? "Enabled: no\n" $0 : "Suites:" kept)
            next
        }
        { print }'
}
