#!/usr/bin/env bash
# The Debian package: CPack makes it, it holds the program, the libraries,
# the headers, the pkg-config files and the Python package under /usr, and
# unpacked into an empty root its `vexokrt demo`, `register` and
# `shell --sim` run from there and its Python package loads.
# Usage: debian_package_test.sh CPACK BUILD_DIR
set -uo pipefail
cpack="$1" build="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
contains() {  # contains DESCRIPTION TEXT FILE
  if ! grep -qF -- "$2" "$3"; then fail "$1: no \"$2\" in $3"; cat "$3"; fi
}

if ! (cd "$build" && "$cpack" --config "$build/CPackConfig.cmake" -B "$work/pkg") >"$work/cpack.out" 2>&1; then
  fail "cpack"; cat "$work/cpack.out"; exit 1
fi
deb="$(ls "$work"/pkg/*.deb 2>/dev/null | head -1)"
[ -n "$deb" ] || { fail "no .deb made"; cat "$work/cpack.out"; exit 1; }
dpkg-deb --info "$deb" >"$work/info" || fail "dpkg-deb --info"
contains "package name" "Package: vexokrt" "$work/info"
contains "package depends on the C++ runtime" "libstdc++6" "$work/info"
dpkg-deb --contents "$deb" >"$work/contents" || fail "dpkg-deb --contents"
for path in ./usr/bin/vexokrt /libvexokrt77.so /libvexokrt_platform.so /libvexokrt_control.so /pkgconfig/vexokrt.pc \
            /pkgconfig/vexokrt-c.pc ./usr/include/vexokrt/platform/activation.h ./usr/include/vexokrt/cash_changer.h \
            ./usr/lib/python3/dist-packages/vexokrt/__init__.py ./usr/share/man/man3/vexokrt_cash_changer.3 \
            ./usr/share/doc/vexokrt/hardware.md; do
  contains "package contents" "$path" "$work/contents"
done

root="$work/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
export OPOS_LOCK_DIR="$work"
# The Python package where Debian's python3 looks, finding the packaged control library.
env -u VEXOKRT_CONTROL_LIBRARY PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
  python3 -c 'import vexokrt; print(vexokrt._library_path()); print(vexokrt.result_name(114))' >"$work/python.out" 2>&1 ||
  { fail "the packaged Python package"; cat "$work/python.out"; }
contains "packaged Python package" "$root/usr/lib/" "$work/python.out"
contains "packaged Python package" "OPOS_E_EXTENDED" "$work/python.out"
OPOS_REGISTRY_DIR="$work/demo" timeout 60 "$root/usr/bin/vexokrt" demo >"$work/demo.out" 2>&1 ||
  { fail "the packaged demo"; cat "$work/demo.out"; }
contains "packaged demo loads the packaged library" "$root/usr/lib" "$work/demo.out"
export OPOS_REGISTRY_DIR="$work/registry"
"$root/usr/bin/vexokrt" register >"$work/register.out" 2>&1 || { fail "packaged register"; cat "$work/register.out"; }
printf 'ClaimDevice 1000\nReleaseDevice\n' |
  timeout 60 "$root/usr/bin/vexokrt" shell --sim KRT07 Dev1 >"$work/shell.out" 2>&1 || fail "packaged shell"
for line in "result OpenService 0 OPOS_SUCCESS" "result ClaimDevice 0 OPOS_SUCCESS" "result ReleaseDevice 0 OPOS_SUCCESS" \
            "result Close 0 OPOS_SUCCESS"; do
  contains "packaged shell" "$line" "$work/shell.out"
done

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "Debian package: all checks passed"
