#!/usr/bin/env bash
# The time that the shipped program's header carries, so that the same
# sources give the same bytes in any folder on any day.
#
#   source-date.sh write <source folder> <build folder> <file>
#       writes the time to <file>, touching it only when it changes (which
#       relinks the program): SOURCE_DATE_EPOCH when the caller sets it,
#       otherwise the time of the commit checked out in <source folder>.
#   source-date.sh link <file> -- <link command...>
#       runs the link command with SOURCE_DATE_EPOCH from <file>, which
#       binutils' ld puts into the COFF header instead of the current time.
set -euo pipefail

write() {
    local source=$1 build=$2 file=$3 epoch top
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        epoch=$SOURCE_DATE_EPOCH
    elif top=$(git -C "$source" rev-parse --show-toplevel 2>/dev/null) &&
        [ "$(cd "$top" && pwd -P)" = "$(cd "$source" && pwd -P)" ] &&
        epoch=$(git -C "$source" log -1 --format=%ct 2>/dev/null) && [ -n "$epoch" ]; then
        :
    else
        # Not a checkout of its own (an exported tree, or one inside some
        # other repository): the newest file's time. git archive stamps
        # every file with the commit time, so an exported tree gives the
        # same bytes as a checkout of that commit.
        epoch=$(find "$source" \( -path "$source/.git" -o -path "$source/build" -o -path "$build" \) -prune \
            -o -type f -printf '%T@\n' | sort -n | tail -n 1)
        epoch=${epoch%.*}
        echo "source-date: $source is not a git checkout; the program is dated by its newest file ($epoch)" >&2
    fi
    # The COFF header holds an unsigned 32-bit count of seconds.
    if ! [[ "$epoch" =~ ^[0-9]{1,10}$ ]] || [ "$epoch" -gt 4294967295 ]; then
        echo "source-date: SOURCE_DATE_EPOCH must be whole seconds since 1970 up to 4294967295, not '$epoch'" >&2
        exit 1
    fi
    if [ "$(cat "$file" 2>/dev/null)" != "$epoch" ]; then
        echo "$epoch" >"$file.part"
        mv "$file.part" "$file"
    fi
}

case "${1:-}" in
    write) [ $# -eq 4 ] || exit 2; write "$2" "$3" "$4" ;;
    link)
        [ $# -ge 4 ] && [ "$3" = -- ] || exit 2
        SOURCE_DATE_EPOCH=$(cat "$2")
        export SOURCE_DATE_EPOCH
        shift 3
        exec "$@"
        ;;
    *) echo "usage: source-date.sh write <source> <build> <file> | link <file> -- <command...>" >&2; exit 2 ;;
esac
