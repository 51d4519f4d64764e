#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the GUI need, once.
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev libudev-dev libsqlite3-dev
      # the shared ledger: its client library, and a server for its tests
      libpq-dev postgresql
      # the line's web view (tagsmith-cli serve): its HTTP server, JSON, the
      # chart library built into the page, and the browser its tests drive
      libcpp-httplib-dev nlohmann-json3-dev libjs-chart.js chromium chromium-driver
      qt6-base-dev qt6-base-dev-tools libgl-dev
      dosfstools mtools fonts-wqy-zenhei xvfb xauth
      # Qt's own texts (message-box buttons, file dialog) in Chinese
      qt6-translations-l10n
      # the real-kernel test: a kernel and its modules to boot in qemu, with
      # busybox and cpio for its initramfs
      linux-image-amd64 qemu-system-x86 busybox-static cpio
      # the Windows builds (the -posix compilers have std::mutex) and Wine to
      # run their tests; wine32 needs the i386 architecture
      g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      wine wine64 wine32:i386
      # the Windows setup program, and the screenshots of the Windows
      # program's dialogs taken from the virtual display
      nsis imagemagick
      # the Chinese locale Wine takes the stations' ANSI code page (936) from
      locales
      # apt-get source: the Windows builds compile SQLite and libpq from
      # Debian's own source packages (SQLite's generators need tclsh)
      dpkg-dev tcl)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# The source packages come from the Debian archive the machine already
# uses: its deb lines (one-line or deb822), repeated as deb-src.
srclist=/etc/apt/sources.list.d/tagsmith-src.sources
need_update=0
if [ ! -s "$srclist" ] && ! grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    src=$(
        grep -hE '^deb [^#]*debian' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk '{sub(/^deb /, ""); o=""; if ($1 ~ /^\[/) { o=$1; sub(/^\[/, "", o); sub(/\]$/, "", o); $1=""; sub(/^ /, "") }
                  s="Types: deb-src\nURIs: " $1 "\nSuites: " $2 "\nComponents:"; for (i=3; i<=NF; i++) s=s " " $i
                  if (o ~ /signed-by=/) { sub(/.*signed-by=/, "", o); sub(/ .*/, "", o); s=s "\nSigned-By: " o }
                  print s "\n" }'
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] && [ "$f" != "$srclist" ] || continue
            awk 'BEGIN { RS=""; ORS="\n\n" }
                 /(^|\n)Types:[^\n]*deb([ \n]|$)/ && /(^|\n)URIs:[^\n]*debian/ && !/(^|\n)Enabled: *no/ {
                     n=split($0, l, "\n"); s=""
                     for (i=1; i<=n; i++) { if (l[i] ~ /^#/) continue; if (l[i] ~ /^Types:/) l[i]="Types: deb-src"; s=s l[i] "\n" }
                     printf "%s\n", s }' "$f"
        done
    )
    if [ -n "$src" ]; then
        printf '%s\n' "$src" | $SUDO tee "$srclist" >/dev/null
        need_update=1
    else
        echo "warning: no Debian archive in the apt sources: the Windows builds cannot fetch SQLite and libpq" >&2
    fi
fi
missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update
    need_update=0
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
if ((need_update)); then
    $SUDO apt-get update
fi
# Wine needs the locale compiled, not only named, to map file names.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    $SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
