#!/bin/sh
# The Debian packages as a user gets them: cpack makes them from the build tree, the three are
# unpacked (dpkg -x) into a scratch root, and there
#  - the libraries carry their sonames and the tool and libraries are stripped, with their
#    debug symbols in the -dbgsym packages;
#  - a host is built against the root with find_package(vexor) and with pkg-config, and runs;
#  - the tool, unpacked with the runtime package alone (no development symlinks), runs the
#    demo (every operation, the XML library loaded by its soname) with the root's libraries;
#  - the descriptions keep their quotes and lintian reports no error.
# Usage: run.sh BUILD_DIR SOURCE_DIR
set -eu
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

(cd "$BUILD" && cpack -G DEB -B "$T/out" >"$T/cpack.log" 2>&1) || { cat "$T/cpack.log" >&2; fail "cpack failed"; }
cd "$T/out"
for p in libvexor1 libvexor-dev vexor; do
  set -- ${p}_*.deb
  [ -f "$1" ] || fail "no $p package"
  eval "deb_$(echo $p | tr -- - _)=\$T/out/\$1"
  dpkg -x "$1" "$T/root"
  [ $p = libvexor-dev ] || dpkg -x "$1" "$T/run"
done
ls ./*-dbgsym_*.ddeb >/dev/null 2>&1 || fail "no debug symbol packages"

# Control fields.
dpkg-deb -f "$deb_vexor" Description | grep -q '"141"' || fail "the tool's description lost its quotes"
[ "$(dpkg-deb -f "$deb_libvexor1" Section)" = libs ] || fail "runtime section"
dpkg-deb -f "$deb_vexor" Depends | grep -q 'libvexor1 (= ' || fail "the tool does not depend on its libraries"
dpkg-deb -f "$deb_libvexor_dev" Depends | grep -q 'libvexor1 (= ' || fail "-dev does not depend on the libraries"
dpkg-deb -f "$deb_vexor" Maintainer | grep -q '@' || fail "no maintainer"

R=$T/root/usr
libdir=$(dirname "$(find "$R/lib" -name libvexor.so.1 -type l)")
for lib in libvexor libvexorcsp libvexorxml; do
  readelf -d "$libdir/$lib.so.1" | grep -q "Library soname: \[$lib.so.1\]" || fail "$lib has no versioned soname"
  [ -L "$libdir/$lib.so" ] || fail "no development symlink $lib.so"
  dpkg-deb -c "$deb_libvexor1" | grep -q "/$lib.so ->" && fail "$lib.so is in the runtime package"
done
case "$libdir" in */lib/*-*) ;; *) fail "libraries not in the multiarch folder: $libdir" ;; esac
for f in "$libdir"/libvexor*.so.1.* "$R/bin/vexor"; do
  readelf -S "$f" | grep -q '\.debug_info' && fail "$f is not stripped"
done
for doc in libvexor1 libvexor-dev vexor; do
  grep -q '^License: Apache-2.0' "$R/share/doc/$doc/copyright" || fail "$doc has no copyright file"
  zcat "$R/share/doc/$doc/changelog.gz" | head -1 | grep -q '^vexor (' || fail "$doc has no changelog"
done
zcat "$R/share/man/man1/vexor.1.gz" | grep -q '^\.SH EXIT STATUS' || fail "no vexor(1)"
zcat "$R/share/man/man5/vexor.ini.5.gz" | grep -q 'UsingCustomOptions' || fail "no vexor.ini(5)"
bash -n "$R/share/bash-completion/completions/vexor" || fail "bad bash completion"

# A host against the root, found by find_package and by pkg-config.
export VEXOR_CSP_HOME="$T/home" XDG_STATE_HOME="$T/state" XDG_DATA_HOME="$T/data"
mkdir -p "$T/home" "$T/work"
cmake -S "$SRC/tests/package" -B "$T/cmake-host" -DCMAKE_PREFIX_PATH="$R" >/dev/null
cmake --build "$T/cmake-host" >/dev/null
LD_LIBRARY_PATH="$libdir" "$T/cmake-host/host" "$T/work"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 "$SRC/tests/package/host.cpp" -o "$T/pc-host" $(pkg-config --cflags --libs vexor)
LD_LIBRARY_PATH="$libdir" "$T/pc-host" "$T/work"

# The tool finds its libraries through its own run path, not the build tree's, and loads
# them by their sonames: the development symlinks are not there.
V=$T/run/usr/bin/vexor
ldd "$V" | grep -q "libvexorcsp.so.1 => $T/run/" || fail "the tool does not use the root's libvexorcsp.so.1"
env -u LD_LIBRARY_PATH "$V" demo >"$T/demo.log" 2>&1 || { cat "$T/demo.log" >&2; fail "the unpacked tool's demo failed"; }
grep -q 'verify the signed XML document' "$T/demo.log" || fail "the demo did not reach the XML library"

# lintian: warnings are allowed, errors are not.
lintian --fail-on error --no-tag-display-limit "$deb_libvexor1" "$deb_libvexor_dev" "$deb_vexor" >"$T/lintian.log" 2>&1 ||
  { cat "$T/lintian.log" >&2; fail "lintian reports errors"; }
grep -q '^E:' "$T/lintian.log" && { cat "$T/lintian.log" >&2; fail "lintian reports errors"; }
echo "package: three packages built, unpacked, used by two hosts and the tool; lintian clean"
