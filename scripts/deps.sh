#!/usr/bin/env bash
# Installs the Debian packages the build, the console and the tests need, when missing.
set -euo pipefail
packages=(
    cmake make g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    fontconfig fonts-dejavu-core
    sfftobmp
    # the real line: capi20.h to build; libcapi20.so.3, loaded at run time, for its tests
    libcapi20-dev libcapi20-3
    # The T.30 fax engine runs SpanDSP's fax modems; SFF <-> TIFF conversion uses libtiff,
    # and bench_sff and tst_sff_libtiff set libtiff's CCITT codec against ours.
    libspandsp-dev libtiff-dev
    # sfftool renders PDF pages with Poppler and writes PDF with Qt.
    libpoppler-qt6-dev
    # Man pages from their scdoc sources; the Debian package (cpack: dpkg-shlibdeps needs
    # dpkg-dev and file); CI checks the desktop entry and the AppStream metainfo.
    scdoc dpkg-dev file desktop-file-utils appstream
)
if [ "${QUILLON_SANITIZE_DEPS:-0}" = 1 ]; then
    packages+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
