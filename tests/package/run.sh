#!/bin/sh
# Installs the built tree under a temporary prefix and builds a tiny host against it twice:
# with find_package(vexor) and with pkg-config. Each host runs and must succeed.
# Usage: run.sh BUILD_DIR SOURCE_DIR
set -eu
BUILD=$1
SRC=$2
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null
export VEXOR_CSP_HOME="$T/home"
mkdir -p "$T/home" "$T/work"
cmake -S "$SRC" -B "$T/cmake-host" -DCMAKE_PREFIX_PATH="$T/prefix" >/dev/null
cmake --build "$T/cmake-host" >/dev/null
LD_LIBRARY_PATH="$T/prefix/lib:$T/prefix/lib/x86_64-linux-gnu" "$T/cmake-host/host" "$T/work"
libdir=$(ls -d "$T"/prefix/lib/pkgconfig "$T"/prefix/lib/*/pkgconfig 2>/dev/null | head -1)
PKG_CONFIG_PATH="$libdir" c++ -std=c++20 "$SRC/host.cpp" -o "$T/pc-host" \
  $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs vexor)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$T/pc-host" "$T/work"
# The installed tool and its man page.
test -x "$T/prefix/bin/vexor"
"$T/prefix/bin/vexor" --help >/dev/null
test -f "$T/prefix/share/man/man1/vexor.1"
echo "package: both hosts built and ran"
