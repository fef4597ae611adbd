#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages as an archive takes them: a copy of the source tree is
# built with dpkg-buildpackage -b (debian/rules: a release unity build, no
# tests; here without optimisation, which changes nothing the checks look
# at and halves the build), the source package is made with dpkg-source, and lintian reports no
# error and no warning on either. Then the packages are looked into: each
# holds what its part of the split says, sonames, the ldconfig trigger, no
# maintainer scripts, stripped binaries with their symbols in -dbgsym, a
# copyright file and the changelog of this version; unpacked into an empty
# root the program runs the demo, the shell and registration from there, and
# the development files build the example with pkg-config and with
# find_package(vexokrt).
# Usage: debian_package_test.sh SOURCE_DIR WORK_DIR PROJECT_VERSION CMAKE CXX
set -uo pipefail
source="$1" work="$2" version="$3" cmake="$4" cxx="$5"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
contains() {  # contains DESCRIPTION TEXT FILE
  if ! grep -qF -- "$2" "$3"; then fail "$1: no \"$2\" in $3"; cat "$3"; fi
}
for tool in dpkg-buildpackage dh lintian; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done

# The build happens in a copy, in a folder of the build tree, never in the
# checkout: dpkg-buildpackage writes into the tree it builds and beside it.
rm -rf "$work"
mkdir -p "$work/vexokrt"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # The files of the checkout as they are now, committed or not.
  (cd "$source" && git ls-files -z --cached --others --exclude-standard |
     xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
     xargs -0 -r cp --parents -t "$work/vexokrt")
else
  (cd "$source" && tar --exclude='./build*' --exclude=node_modules -cf - .) | tar -xf - -C "$work/vexokrt"
fi
[ -f "$work/vexokrt/debian/control" ] || { echo "FAIL: no debian/control in the copy"; exit 1; }
(cd "$work/vexokrt" && dpkg-checkbuilddeps) >"$work/builddeps.out" 2>&1 ||
  { echo "FAIL: build dependencies missing (scripts/deps.sh installs them)"; cat "$work/builddeps.out"; exit 1; }

# The changelog names the version the project builds.
changelog_version="$(cd "$work/vexokrt" && dpkg-parsechangelog -SVersion)"
[ "$changelog_version" = "$version" ] || fail "debian/changelog is at $changelog_version, the project at $version"

start=$(date +%s)
if ! (cd "$work/vexokrt" && DEB_BUILD_OPTIONS="parallel=2 noopt" dpkg-buildpackage -b -us -uc) >"$work/build.out" 2>&1; then
  echo "FAIL: dpkg-buildpackage"; tail -n 60 "$work/build.out"; exit 1
fi
echo "dpkg-buildpackage took $(( $(date +%s) - start )) s"
(cd "$work/vexokrt" && debian/rules clean) >"$work/clean.out" 2>&1 || { fail "debian/rules clean"; cat "$work/clean.out"; }
(cd "$work" && dpkg-source -b vexokrt) >"$work/source.out" 2>&1 || { fail "dpkg-source -b"; cat "$work/source.out"; }

changes="$work/vexokrt_${version}_$(dpkg --print-architecture).changes"
dsc="$work/vexokrt_${version}.dsc"
start=$(date +%s)
# Every tag is shown; errors and warnings fail the test (the overrides in
# debian/ say why each overridden one is right).
lintian --display-info --pedantic --fail-on error,warning "$changes" "$dsc" >"$work/lintian.out" 2>&1
lintian_status=$?
echo "lintian took $(( $(date +%s) - start )) s:"
grep -v '^running with root privileges' "$work/lintian.out"
if [ "$lintian_status" -ne 0 ] || grep -qE '^[EW]: ' "$work/lintian.out"; then
  fail "lintian reports errors or warnings (exit $lintian_status)"
fi

arch="$(dpkg --print-architecture)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
lib="usr/lib/$multiarch"
deb() { echo "$work/${1}_${version}_${arch}.deb"; }
debs="libvexokrt-platform1 libvexokrt-control1 libvexokrt-dev vexokrt libvexokrt-platform1-dbgsym
      libvexokrt-control1-dbgsym vexokrt-dbgsym"
for package in $debs; do
  [ -f "$(deb "$package")" ] || fail "no package $package"
done
# The Python package is the same on every architecture.
python_deb="$work/python3-vexokrt_${version}_all.deb"
[ -f "$python_deb" ] || fail "no package python3-vexokrt"

# What each package holds.
check_contents() {  # check_contents PACKAGE PATH...
  local package="$1"
  shift
  local file="$(deb "$package")"
  [ "$package" = python3-vexokrt ] && file="$python_deb"
  dpkg-deb --contents "$file" | awk '{print $6}' | sed 's|^\./||' >"$work/$package.contents"
  for path in "$@"; do grep -qxF -- "$path" "$work/$package.contents" || fail "$package lacks $path"; done
}
check_contents libvexokrt-platform1 "$lib/libvexokrt_platform.so.1" "$lib/vexokrt/libvexokrt77.so" \
  usr/share/doc/libvexokrt-platform1/copyright usr/share/doc/libvexokrt-platform1/changelog.gz
check_contents libvexokrt-control1 "$lib/libvexokrt_control.so.1" usr/share/doc/libvexokrt-control1/copyright
check_contents python3-vexokrt usr/lib/python3/dist-packages/vexokrt/__init__.py \
  usr/lib/python3/dist-packages/vexokrt/_location.py usr/share/doc/python3-vexokrt/copyright
check_contents libvexokrt-dev "$lib/libvexokrt_platform.so" "$lib/libvexokrt_control.so" "$lib/pkgconfig/vexokrt.pc" \
  "$lib/pkgconfig/vexokrt-c.pc" usr/include/vexokrt/cash_changer.h usr/include/vexokrt/cash_changer_c.h \
  usr/include/vexokrt/names.h usr/share/man/man3/vexokrt_cash_changer.3.gz \
  "$lib/cmake/vexokrt/vexokrtConfig.cmake" "$lib/cmake/vexokrt/vexokrtConfigVersion.cmake" \
  usr/include/vexokrt/platform/activation.h usr/include/vexokrt/service/opos.h usr/share/doc/libvexokrt-dev/copyright
check_contents vexokrt usr/bin/vexokrt usr/share/man/man1/vexokrt.1.gz usr/share/bash-completion/completions/vexokrt \
  usr/share/doc/vexokrt/README.md usr/share/doc/vexokrt/docs/hardware.md usr/share/doc/vexokrt/docs/control-panel.png \
  usr/share/doc/vexokrt/examples/pos_change.cc usr/share/doc/vexokrt/copyright usr/share/doc/vexokrt/changelog.gz
grep -E '\.so' "$work/libvexokrt-dev.contents" | grep -vE 'libvexokrt_(platform|control)\.so$' | grep -q . &&
  fail "libvexokrt-dev holds a shared library"
grep -q "$multiarch" "$work/python3-vexokrt.contents" && fail "python3-vexokrt holds an architecture's path"
grep -q 'libvexokrt_platform.so' "$work/vexokrt.contents" && fail "vexokrt holds the platform library"

for package in libvexokrt-platform1 libvexokrt-control1 libvexokrt-dev vexokrt python3-vexokrt; do
  file="$(deb "$package")"
  [ "$package" = python3-vexokrt ] && file="$python_deb"
  dpkg-deb --field "$file" >"$work/$package.control"
  contains "$package maintainer" "Maintainer: vexokrt maintainers <" "$work/$package.control"
  grep -qi 'localhost' "$work/$package.control" && fail "$package names localhost"
  # The long description: the lines after the summary.
  [ "$(sed -n '/^Description:/,$p' "$work/$package.control" | grep -c '^ ')" -ge 5 ] ||
    { fail "$package has no real long description"; cat "$work/$package.control"; }
  dpkg-deb --ctrl-tarfile "$file" | tar -t >"$work/$package.ctrl"
  if [ "$package" = python3-vexokrt ]; then
    # dh-python's own scripts byte-compile the package and remove the
    # compiled files again, as for every Python package; nothing else.
    dpkg-deb --ctrl-tarfile "$file" | tar -xO ./postinst ./prerm >"$work/$package.scripts" 2>/dev/null
    # Every line outside dh_python3's sections is the shell's head.
    awk '/^# Automatically added by dh_python3/ { inside = 1; next }
         /^# End automatically added section/ { inside = 0; next }
         !inside && !/^(#!\/bin\/sh|set -e|)$/' "$work/$package.scripts" | grep -q . &&
      { fail "$package has maintainer scripts of its own"; cat "$work/$package.scripts"; }
    grep -q 'Automatically added by dh_python3' "$work/$package.scripts" || fail "$package: no byte-compiling scripts"
  elif grep -qE '(pre|post)(inst|rm)$' "$work/$package.ctrl"; then
    fail "$package has maintainer scripts"; cat "$work/$package.ctrl"
  fi
done
contains "the library package depends on libc" "libc6" "$work/libvexokrt-platform1.control"
contains "the library package depends on the C++ run-time library" "libstdc++6" "$work/libvexokrt-platform1.control"
contains "the program depends on its library package" "libvexokrt-platform1 (= $version)" "$work/vexokrt.control"
dpkg-deb --info "$(deb libvexokrt-platform1)" triggers >"$work/triggers" 2>&1
contains "ldconfig trigger" "activate-noawait ldconfig" "$work/triggers"
dpkg-deb --info "$(deb libvexokrt-platform1)" shlibs >"$work/shlibs" 2>&1
contains "shlibs of the platform library" "libvexokrt_platform 1 libvexokrt-platform1" "$work/shlibs"
dpkg-deb --info "$(deb libvexokrt-control1)" shlibs >"$work/control.shlibs" 2>&1
contains "shlibs of the control library" "libvexokrt_control 1 libvexokrt-control1" "$work/control.shlibs"
contains "the Python package depends on the control library" "libvexokrt-control1" "$work/python3-vexokrt.control"
contains "the Python package depends on python3" "python3" "$work/python3-vexokrt.control"

root="$work/root"
for package in $debs; do
  dpkg-deb -x "$(deb "$package")" "$root" || fail "dpkg-deb -x $package"
done
dpkg-deb -x "$python_deb" "$root" || fail "dpkg-deb -x python3-vexokrt"
readelf -d "$root/$lib/libvexokrt_platform.so.${version%.*}" >"$work/dynamic" 2>&1
contains "soname" "Library soname: [libvexokrt_platform.so.1]" "$work/dynamic"
# Stripped, with the symbols in the -dbgsym packages under their build ids.
for elf in usr/bin/vexokrt "$lib/libvexokrt_platform.so.1" "$lib/libvexokrt_control.so.1" "$lib/vexokrt/libvexokrt77.so"; do
  if readelf -S "$root/$elf" | grep -qE '\.debug_info|\.symtab'; then fail "$elf is not stripped"; fi
  id="$(readelf -n "$root/$elf" | sed -n 's/.*Build ID: //p')"
  [ -f "$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "no debug symbols for $elf (build id $id)"
done

# The unpacked program: the demo, registration and a shell session.
export OPOS_LOCK_DIR="$work"
OPOS_REGISTRY_DIR="$work/demo" timeout 60 "$root/usr/bin/vexokrt" demo >"$work/demo.out" 2>&1 ||
  { fail "the packaged demo"; cat "$work/demo.out"; }
contains "packaged demo loads the packaged service object" "$root/$lib/vexokrt/libvexokrt77.so" "$work/demo.out"
export OPOS_REGISTRY_DIR="$work/registry"
"$root/usr/bin/vexokrt" register >"$work/register.out" 2>&1 || { fail "packaged register"; cat "$work/register.out"; }
contains "registered path" "$root/$lib/vexokrt/libvexokrt77.so" "$work/register.out"
printf 'ClaimDevice 1000\nReleaseDevice\n' |
  timeout 60 "$root/usr/bin/vexokrt" shell --sim KRT07 Dev1 >"$work/shell.out" 2>&1 || fail "packaged shell"
for line in "result OpenService 0 OPOS_SUCCESS" "result ClaimDevice 0 OPOS_SUCCESS" "result ReleaseDevice 0 OPOS_SUCCESS" \
            "result Close 0 OPOS_SUCCESS"; do
  contains "packaged shell" "$line" "$work/shell.out"
done
man -l "$root/usr/share/man/man1/vexokrt.1.gz" 2>&1 | grep -q 'EXIT STATUS' || fail "the packaged manual page"

# The Python package where Debian's python3 looks; it loads the control
# library by its versioned name, which the dynamic loader finds (here on
# LD_LIBRARY_PATH, in the installed system through ldconfig).
env -u VEXOKRT_CONTROL_LIBRARY PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
  LD_LIBRARY_PATH="$root/$lib" \
  python3 -c 'import vexokrt; print(vexokrt._library_path()); print(vexokrt.result_name(114))' >"$work/python.out" 2>&1 ||
  { fail "the packaged Python package"; cat "$work/python.out"; }
contains "packaged Python package loads the control library by name" "libvexokrt_control.so.1" "$work/python.out"
contains "packaged Python package" "OPOS_E_EXTENDED" "$work/python.out"

# The development files: the example with pkg-config, and a CMake project.
export PKG_CONFIG_PATH="$root/$lib/pkgconfig"
flags="$(pkg-config --cflags --libs vexokrt)" || fail "pkg-config vexokrt from the package"
"$cxx" "$root/usr/share/doc/vexokrt/examples/pos_change.cc" $flags \
  -Wl,-rpath,"$(pkg-config --variable=libdir vexokrt)" -o "$work/pos_change" >"$work/cc.out" 2>&1 ||
  { fail "the example does not build against the package"; cat "$work/cc.out"; }
[ "$(realpath "$(pkg-config --variable=serverlibrary vexokrt)")" = "$root/$lib/vexokrt/libvexokrt77.so" ] ||
  fail "pkg-config's serverlibrary is not the packaged service object"
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(vexokrt 1 REQUIRED)
add_executable(consumer consumer.cc)
target_link_libraries(consumer PRIVATE vexokrt::platform)
target_compile_definitions(consumer PRIVATE SERVICE_OBJECT="${vexokrt_SERVICE_OBJECT}")
CMAKE
cat >"$work/consumer/consumer.cc" <<'CC'
// Loads the service object through the platform library and creates its class factory.
#include <cstdio>
#include <string>

#include "platform/activation.h"

int main() {
  std::string error;
  auto library = vexokrt::platform::LoadedLibrary::Open(SERVICE_OBJECT, &error);
  if (!library.loaded()) {
    std::printf("cannot load %s: %s\n", SERVICE_OBJECT, error.c_str());
    return 1;
  }
  std::printf("loaded %s, DllGetClassObject %s\n", SERVICE_OBJECT,
              library.Symbol(vexokrt::platform::kDllGetClassObjectName) != nullptr ? "found" : "missing");
  return 0;
}
CC
if "$cmake" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$root/usr" \
     -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_RPATH="$root/$lib" >"$work/consumer.out" 2>&1 &&
   "$cmake" --build "$work/consumer/build" >>"$work/consumer.out" 2>&1; then
  "$work/consumer/build/consumer" >"$work/consumer.run" 2>&1 || { fail "the find_package consumer does not run"; cat "$work/consumer.run"; }
  contains "find_package consumer" "loaded $root/$lib/vexokrt/libvexokrt77.so, DllGetClassObject found" "$work/consumer.run"
else
  fail "find_package(vexokrt) from the package"; cat "$work/consumer.out"
fi

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "Debian packages: all checks passed"
