#!/usr/bin/env bash
# Runs a command with the shipped 32-bit build (build/x64/i686) under
# 32-bit Wine: a virtual display and a warm Wine server for the 32-bit
# build's prefix, and BUILD naming that build. tools/test-32bit.sh runs the
# suite through it, the download benchmark its 32-bit rounds; the set-up
# (tools/setup.sh --32-bit) and the build must be done.
#
# These kernels run no 32-bit code, so qemu's user-mode emulator runs it.
# The kernel hands 32-bit programs to qemu through a binfmt_misc
# registration made inside a private user and mount namespace: it exists
# only for the processes of this run and vanishes with them. Registered for
# the whole machine it would turn every new Wine prefix into one with 32-bit
# support, which is not what the 64-bit suite and the run command are for.
set -euo pipefail
source "$(dirname "$0")/env.sh"

# The run gets its own process-id namespace too: when it ends, the kernel
# ends whatever of it might still be running.
if [ "${1:-}" != --in-namespace ]; then
    exec unshare --user --map-root-user --mount --pid --mount-proc --fork bash "$0" --in-namespace "$@"
fi
shift

# ELF header of a 32-bit x86 executable or shared object; the mask lets
# any OS/ABI byte through. F opens qemu now, so that it is found whatever
# the namespace of the program started later.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
printf ':qemu-i386:M::%s:%s:%s:F' "$i386_magic" "$i386_mask" "$QEMU_I386" >/proc/sys/fs/binfmt_misc/register

export BUILD=$BUILD_I686
cleanup() { stop_wine; stop_virtual_display; }
trap cleanup EXIT
start_virtual_display
start_wine
"$@"
