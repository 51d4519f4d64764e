# Sourced by the scripts that run Windows programs under Wine.
#
# Debian's `wine` launcher runs Wine's 32-bit loader whenever wine32 is
# installed, also for 64-bit programs and also where the kernel cannot run
# 32-bit programs at all. So every Windows program is started through the
# loader its own PE header asks for: 64-bit programs through Wine's 64-bit
# loader, always.

# Wine's 64-bit loader (Debian keeps it off PATH).
wine64_loader() {
    if [ -x /usr/lib/wine/wine64 ]; then
        echo /usr/lib/wine/wine64
    elif command -v wine64 >/dev/null; then
        command -v wine64
    else
        echo wine
    fi
}

# The machine field of a PE file: 8664 (x86-64), 14c (i386), or nothing
# when FILE is not a readable PE file.
pe_machine() {
    local file=$1 off
    [ -f "$file" ] || return 0
    off=$(od -An -tu4 -j60 -N4 "$file" 2>/dev/null | tr -d ' ')
    [ -n "$off" ] || return 0
    od -An -tx2 -j$((off + 4)) -N2 "$file" 2>/dev/null | tr -d ' '
}

# The loader to start FILE (a Unix path) with. Wine's own programs named by
# their Windows name (wineboot, reg, winepath) run in the prefix's own
# architecture: pass WINE_ARCH=64 for a 64-bit prefix.
wine_loader_for() {
    local machine
    machine=$(pe_machine "$1")
    if [ "$machine" = 8664 ] || { [ -z "$machine" ] && [ "${WINE_ARCH:-}" = 64 ]; }; then
        wine64_loader
    else
        echo wine
    fi
}

# Whether this machine's kernel runs 32-bit x86 programs, found by running
# one: a 96-byte static ELF that exits with 42 (no toolchain needed). Some
# kernels are built without 32-bit support and answer "Exec format error".
# TAGSMITH_NO_32BIT=1 makes the answer "no" on any machine, to try the
# path of a machine that cannot. Prints "yes" or "no".
runs_32bit() {
    if [ "${TAGSMITH_NO_32BIT:-}" = 1 ]; then
        echo no
        return
    fi
    local dir probe status=0
    # Next to the build, not in /tmp, which may be mounted noexec.
    dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build
    mkdir -p "$dir"
    probe=$(mktemp "$dir/.probe32.XXXXXX")
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    if [ "$status" = 42 ]; then echo yes; else echo no; fi
}

# The answer once per run: test.sh exports it for the tests it starts.
runs_32bit_cached() {
    if [ -z "${TAGSMITH_RUNS_32BIT:-}" ]; then
        TAGSMITH_RUNS_32BIT=$(runs_32bit)
        export TAGSMITH_RUNS_32BIT
    fi
    echo "$TAGSMITH_RUNS_32BIT"
}

# Starts WINEPREFIX (exported by the caller) with the loader of its
# architecture, 64 or 32, making it first when it is not there yet. Wine's
# background services start here, with no pipe of ours: started by a test
# program instead, they would hold its output open and its run would never
# end.
wine_start_prefix() {
    local arch=$1
    mkdir -p "$WINEPREFIX"
    if [ "$arch" = 64 ]; then
        "$(wine64_loader)" wineboot -i >/dev/null 2>&1 || true
    else
        wine wineboot -i >/dev/null 2>&1 || true
    fi
}
