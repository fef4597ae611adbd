#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The README's lines for a private prefix, run as written (with HOME in a
# fresh folder and build-release standing for this build): they install into
# ~/.local and build the example there. The files an integrator needs are
# there, the installed documentation's links and picture resolve, the manual
# page names every subcommand and the bash completion offers the subcommands,
# the device names of the registry, the simulated models and the DirectIO
# names; no installed program or library names a build path in its RUNPATH.
# The sale of the examples, in C++ and C built with nothing but pkg-config's
# flags and in Python from the installed package, runs against the installed
# `vexokrt sim`: each opens the device by name, claims, enables, reads the
# counts, takes a deposit, pays change, sees the jam of a pay-out as a
# StatusUpdateEvent and the failed pay-out as an error with its names, pays
# the rest and releases. A prefix without write access is refused clearly.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR CXX CC
set -uo pipefail
cmake="$1" build="$2" source="$3" cxx="$4" cc="$5"
work="$(mktemp -d)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
contains() {  # contains DESCRIPTION TEXT FILE
  if ! grep -qF -- "$2" "$3"; then fail "$1: no \"$2\" in $3"; cat "$3"; fi
}

# The README's block between "<!-- private-prefix -->" and "<!-- end -->".
readme="$work/readme"
mkdir -p "$readme/bin" "$work/home"
sed -n '/^<!-- private-prefix/,/^<!-- end -->/p' "$source/README.md" | grep '^    ' | sed 's/^    //' >"$work/readme.sh"
[ -s "$work/readme.sh" ] || { fail "no private-prefix block in the README"; exit 1; }
ln -s "$build" "$readme/build-release"
ln -s "$cmake" "$readme/bin/cmake"
ln -s "$(command -v "$cxx")" "$readme/bin/c++"
if ! (cd "$readme" && HOME="$work/home" PATH="$readme/bin:$PATH" bash -e "$work/readme.sh") >"$work/install.out" 2>&1; then
  fail "the README's private-prefix lines"; cat "$work/readme.sh" "$work/install.out"
fi
prefix="$work/home/.local"
libdir="$(cd "$prefix" && ls -d lib*/libvexokrt_platform.so 2>/dev/null | head -1 | xargs -r dirname)"
[ -n "$libdir" ] || { fail "no libvexokrt_platform.so installed"; find "$prefix"; exit 1; }
python="lib/python3/dist-packages"
for file in bin/vexokrt "$libdir/vexokrt/libvexokrt77.so" "$libdir/libvexokrt_platform.so.1" \
            "$libdir/libvexokrt_control.so.1" "$libdir/pkgconfig/vexokrt-c.pc" \
            include/vexokrt/cash_changer.h include/vexokrt/cash_changer_c.h include/vexokrt/names.h \
            "$python/vexokrt/__init__.py" "$python/vexokrt/_location.py" share/man/man3/vexokrt_cash_changer.3 \
            share/doc/vexokrt/examples/pos_change_c.c share/doc/vexokrt/examples/pos_change.py \
            "$libdir/pkgconfig/vexokrt.pc" "$libdir/cmake/vexokrt/vexokrtConfig.cmake" \
            share/man/man1/vexokrt.1 share/bash-completion/completions/vexokrt share/doc/vexokrt/LICENSE \
            include/vexokrt/platform/com.h include/vexokrt/platform/activation.h \
            include/vexokrt/platform/message_window.h include/vexokrt/platform/modal_dialog.h \
            include/vexokrt/platform/reg_file.h \
            include/vexokrt/service/opos.h include/vexokrt/service/properties.h \
            share/doc/vexokrt/examples/pos_change.cc share/doc/vexokrt/docs/hardware.md; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done
for library in libvexokrt_platform libvexokrt_control; do
  [ "$(readlink "$prefix/$libdir/$library.so")" = "$library.so.1" ] || fail "$library.so is not the link to $library.so.1"
done
# The installed documentation's links and pictures, relative to each file.
docs="$prefix/share/doc/vexokrt"
for page in "$docs/README.md" "$docs/docs/hardware.md"; do
  links="$(tr '\n' ' ' <"$page" | grep -oE '\]\([^)# ]+\)' | sed 's/^](//; s/)$//' | grep -vE '^[a-z]+:')"
  [ -n "$links" ] || [ "$page" != "$docs/README.md" ] || fail "no links found in the README"
  for target in $links; do
    [ -e "$(dirname "$page")/$target" ] || fail "$page links $target, which is not installed"
  done
done
[ "$(head -c 8 "$docs/docs/control-panel.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "the panel picture is not a PNG"
# Every header an installed header includes is installed too.
for header in $(find "$prefix/include/vexokrt" -name '*.h'); do
  for included in $(sed -n 's/^#include "\(.*\)"/\1/p' "$header"); do
    [ -f "$prefix/include/vexokrt/$included" ] || fail "$header includes $included, which is not installed"
  done
done

# RUNPATHs: only $ORIGIN-relative entries, never the build or source tree.
for elf in "$prefix/bin/vexokrt" "$prefix/$libdir/vexokrt/libvexokrt77.so" "$prefix/$libdir/libvexokrt_platform.so" \
           "$prefix/$libdir/libvexokrt_control.so"; do
  readelf -d "$elf" >"$work/dynamic" 2>&1 || { fail "readelf $elf"; continue; }
  if grep -qF -e "$build" -e "$source" -e "$(cd "$build" && pwd -P)" "$work/dynamic"; then
    fail "$elf names a build path"; grep -E 'RPATH|RUNPATH' "$work/dynamic"
  fi
  for entry in $(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p; s/.*(RPATH).*\[\(.*\)\]/\1/p' "$work/dynamic" | tr ':' ' '); do
    case "$entry" in '$ORIGIN'*) ;; *) fail "$elf has a RUNPATH entry that is not relative: $entry" ;; esac
  done
done
grep -q 'RUNPATH.*\$ORIGIN/\.\.' <(readelf -d "$prefix/$libdir/vexokrt/libvexokrt77.so") ||
  fail "libvexokrt77.so does not find its platform library through \$ORIGIN"
grep -q 'RUNPATH.*\$ORIGIN' <(readelf -d "$prefix/$libdir/libvexokrt_control.so") ||
  fail "libvexokrt_control.so does not find its platform library through \$ORIGIN"
MANWIDTH=100 man -l "$prefix/share/man/man3/vexokrt_cash_changer.3" >"$work/man3.out" 2>"$work/man3.err" ||
  { fail "the C interface's manual page does not format"; cat "$work/man3.err"; }
contains "C interface's manual page" "vexokrt_cc_dispatch_events" "$work/man3.out"
[ ! -s "$work/man3.err" ] || { fail "the C interface's manual page has warnings"; cat "$work/man3.err"; }

# The program runs from the prefix and finds its service object library there.
"$prefix/bin/vexokrt" --version >"$work/version" 2>&1 || fail "installed vexokrt --version"
contains "version names the installed library" "$prefix/$libdir/vexokrt/libvexokrt77.so" "$work/version"
contains "service object version" "1006312" "$work/version"

# The example the README's lines built finds its libraries without
# LD_LIBRARY_PATH.
[ -x "$readme/pos_change" ] || fail "the README's lines built no pos_change"
env -u LD_LIBRARY_PATH ldd "$readme/pos_change" >"$work/ldd" 2>&1
for library in libvexokrt_platform libvexokrt_control; do
  found="$(sed -n "s/^\s*$library\.so\.1 => \(\S*\) .*/\1/p" "$work/ldd")"
  [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$prefix/$libdir/$library.so.1")" ] ||
    { fail "the README's example does not find $library.so.1 by itself"; cat "$work/ldd"; }
done

# The examples, built with nothing but pkg-config's flags (warnings are
# errors: the installed headers must compile cleanly in a user's build).
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
flags="$(pkg-config --cflags --libs vexokrt)" || fail "pkg-config vexokrt"
c_flags="$(pkg-config --cflags --libs vexokrt-c)" || fail "pkg-config vexokrt-c"
case "$flags $c_flags" in *"$build"*|*"$source"*) fail "pkg-config flags name a build path: $flags $c_flags" ;; esac
rpath="-Wl,-rpath,$(pkg-config --variable=libdir vexokrt)"
examples="$prefix/share/doc/vexokrt/examples"
"$cxx" -Wall -Wextra -Werror "$examples/pos_change.cc" $flags "$rpath" -o "$work/pos_change" >"$work/cc.out" 2>&1 ||
  { fail "the C++ example does not build with pkg-config's flags"; cat "$work/cc.out"; }
"$cc" -std=c11 -Wall -Wextra -Werror "$examples/pos_change_c.c" $c_flags "$rpath" -o "$work/pos_change_c" \
  >"$work/c.out" 2>&1 || { fail "the C example does not build with pkg-config's flags"; cat "$work/c.out"; }
# The examples' Makefile, as an integrator runs it in a copy of the folder.
cp -r "$examples" "$work/examples"
make -C "$work/examples" CXX="$cxx" CC="$cc" >"$work/make.out" 2>&1 &&
  [ -x "$work/examples/pos_change" ] && [ -x "$work/examples/pos_change_c" ] ||
  { fail "make in the examples folder"; cat "$work/make.out"; }
# The headers' older spelling: -I.../include/vexokrt and "cash_changer.h".
printf '#include "cash_changer.h"\n#include "platform/com.h"\nint main() { vexokrt::CashChanger cc; return cc.State() == 1 ? 0 : 1; }\n' \
  >"$work/old_include.cc"
"$cxx" -std=c++20 -Wall -Werror -I"$prefix/include/vexokrt" "$work/old_include.cc" -L"$prefix/$libdir" \
  -lvexokrt_control -lvexokrt_platform "$rpath" -o "$work/old_include" >"$work/old.out" 2>&1 && "$work/old_include" ||
  { fail "-I include/vexokrt with \"cash_changer.h\""; cat "$work/old.out"; }

# Against the installed simulator: register (the registry folder does not
# exist yet), configure the device key, and run each example's sale while
# this script plays the customer and the operator at the simulator.
export OPOS_REGISTRY_DIR="$work/registry/new" OPOS_LOCK_DIR="$work"
"$prefix/bin/vexokrt" register >"$work/register.out" 2>&1 || { fail "register"; cat "$work/register.out"; }
[ -f "$OPOS_REGISTRY_DIR/machine.reg" ] || fail "register did not create the registry folder"
contains "register names the installed library" "$prefix/$libdir/vexokrt/libvexokrt77.so" "$work/register.out"
mkfifo "$work/sim.in"
"$prefix/bin/vexokrt" sim --model KRT07 <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
exec 3>"$work/sim.in"  # the simulator's control lines
for _ in $(seq 1 100); do grep -q '^slave: ' "$work/sim.out" && break; sleep 0.1; done
port="$(sed -n 's/^slave: //p' "$work/sim.out")"
[ -n "$port" ] || { fail "the installed simulator did not start"; cat "$work/sim.err"; }
printf 'set duration dispense 300\nset duration counting 100\n' >&3
mkdir -p "$work/logs"
"$prefix/bin/vexokrt" config Pos1 --set "Port=$port" --set Port_Initialize_String=9600,E,8,1 \
  --set WatchInterval=50 --set "LogFolderName=$work/logs/" >"$work/config.out" 2>&1 ||
  { fail "config"; cat "$work/config.out"; }

# await FILE TEXT PID: until TEXT is in FILE, while PID runs.
await() {
  for _ in $(seq 1 300); do
    grep -qF -- "$2" "$1" && return 0
    kill -0 "$3" 2>/dev/null || { grep -qF -- "$2" "$1"; return; }
    sleep 0.1
  done
  return 1
}
# sale NAME COMMAND...: the sale of 1234 yen, paid with 2000, whose change
# jams after its first piece (500 yen); the jam is cleared when asked.
sale() {
  local name="$1" out="$work/$1.out"
  shift
  printf 'fault jam-payout 1\n' >&3
  timeout 60 "$@" Pos1 1234 >"$out" 2>&1 &
  local pid=$!
  if await "$out" "insert the cash at the simulator" "$pid"; then printf 'insert 1000:2\n' >&3; fi
  if await "$out" "clear the jam (at the simulator: jam off)" "$pid"; then printf 'jam off\n' >&3; fi
  wait "$pid" || { fail "$name exits non-zero"; cat "$out"; }
  for line in "event StatusUpdateEvent 2001 OPOS_SUE_POWER_ONLINE (power on and ready)" \
              "claimed Pos1: Vexo Cash Changer KRT07, service object 1006312" \
              "event DataEvent 0" "deposit 2000 yen" "change 766 yen" \
              "event StatusUpdateEvent 31 CHAN_STATUS_JAM" \
              'event DirectIOEvent 20 VEXOKRT_DIO_EVENT_PAYOUT_ENDED_EARLY pData 500 pString "1:0,5:0,10:0,50:0,100:0,500:1;1000:0,2000:0,5000:0,10000:0"' \
              "part paid: 500 yen" "event StatusUpdateEvent 32 CHAN_STATUS_JAMOK" \
              "DispenseChange(266): 0 OPOS_SUCCESS" "change paid: 766 yen" "ReleaseDevice: 0 OPOS_SUCCESS" "released"; do
    contains "$name" "$line" "$out"
  done
  grep -qE '^counts [0-9:,]+;[0-9:,]+ discrepancy 0$' "$out" || { fail "$name counts"; cat "$out"; }
  # The jammed pay-out fails with a named result code.
  grep -qE '^DispenseChange\(766\): 1[01][0-9] OPOS_E_[A-Z]+' "$out" || { fail "$name: the failed pay-out"; cat "$out"; }
}
sale "C++ example" "$work/pos_change"
[ -s "$work/logs/ExamlogS.txt" ] || fail "the example's session left no ExamLog"
"$prefix/bin/vexokrt" examlog "$work/logs/ExamlogS.txt" >"$work/examlog.out" 2>&1 || fail "examlog of the session"
# The session's calls in the order they were made.
grep -oE 'enter (OpenService|ClaimDevice|Claim|BeginDeposit|DispenseChange|ReleaseDevice|Release|Close)\b' \
  "$work/examlog.out" | tr '\n' ' ' >"$work/order"
grep -qE '^enter OpenService .*enter Claim.* enter BeginDeposit .*enter DispenseChange .*enter Release.* enter Close' \
  "$work/order" || { fail "examlog order"; cat "$work/order"; echo; cat "$work/examlog.out"; }
sale "C example" "$work/pos_change_c"
# The Python package of the install, found on its own folder's path; it
# finds the control library of the same install.
env -u VEXOKRT_CONTROL_LIBRARY PYTHONPATH="$prefix/$python" PYTHONDONTWRITEBYTECODE=1 \
  python3 -c 'import vexokrt, sys; print(vexokrt._library_path())' >"$work/python-library" 2>&1 ||
  { fail "the installed Python package does not load"; cat "$work/python-library"; }
contains "the Python package's library" "$prefix/$libdir/libvexokrt_control.so.1" "$work/python-library"
sale "Python example" env -u VEXOKRT_CONTROL_LIBRARY PYTHONPATH="$prefix/$python" PYTHONDONTWRITEBYTECODE=1 \
  python3 "$examples/pos_change.py"

# The manual page has a part for every subcommand the program lists.
"$prefix/bin/vexokrt" --help >"$work/help" 2>&1
commands="$(sed -n '/^Subcommands:/,$p' "$work/help" | awk 'NR > 1 && NF { print $1 }' | sort)"
# (man leaves out bold and underline when its output is not a terminal.)
MANWIDTH=100 man -l "$prefix/share/man/man1/vexokrt.1" >"$work/man.txt" 2>"$work/man.err"
[ -s "$work/man.err" ] && { fail "man reports problems"; cat "$work/man.err"; }
for command in $commands; do
  grep -qE "^       $command( |$)" "$work/man.txt" || fail "the manual page has no entry for $command"
done
for section in "EXIT STATUS" ENVIRONMENT EXAMPLES; do grep -qx "$section" "$work/man.txt" || fail "manual page: no $section"; done
# The completion, as bash runs it for "vexokrt WORDS<Tab>".
complete_words() {  # complete_words WORD... (the last is the one being completed)
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vexokrt; printf "%s\n" "${COMPREPLY[@]}"' \
    bash "$prefix/share/bash-completion/completions/vexokrt" "$prefix/bin/vexokrt" "$@" | sort
}
[ "$(complete_words "")" = "$(printf '%s\n' $commands --help --version | sort)" ] ||
  { fail "completion of the subcommands"; complete_words ""; }
[ "$(complete_words shell --sim KRT0)" = "$(printf '%s\n' KRT02F KRT02FA KRT03 KRT07 | sort)" ] ||
  { fail "completion of the models"; complete_words shell --sim KRT0; }
[ "$(complete_words open P)" = "Pos1" ] || { fail "completion of a device name from the registry"; complete_words open P; }
dio_names="$(printf 'help dio\n' | "$prefix/bin/vexokrt" shell --sim KRT07 --no-open Dev1 2>/dev/null |
             sed -n 's/^  \([a-z-]*\) ([0-9]*): .*/\1/p' | sort)"
[ "$(grep -c . <<<"$dio_names")" -ge 10 ] || fail "the shell's help dio lists no names"
[ "$(complete_words dio --sim KRT07 Pos1 "")" = "$dio_names" ] ||
  { fail "completion of the DirectIO names (as the shell's help dio lists them)"; complete_words dio Pos1 ""; }
[ "$(complete_words config Pos1 --s)" = "$(printf -- '--set\n--show\n')" ] || { fail "completion of options"; complete_words config Pos1 --s; }

# A prefix without write access: one clear message, nothing copied.
locked="$work/locked"
mkdir -p "$locked"
chmod 755 "$work" "$locked"
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  if ! command -v setpriv >/dev/null || ! "${as_user[@]}" test -r "$build/cmake_install.cmake"; then
    as_user=()
  fi
else
  chmod 555 "$locked"
  as_user=(env)
fi
if [ ${#as_user[@]} -gt 0 ]; then
  if "${as_user[@]}" "$cmake" --install "$build" --prefix "$locked/usr" >"$work/locked.out" 2>&1; then
    fail "install into a prefix without write access succeeded"
  fi
  # CMake wraps its messages: compare with the line breaks undone.
  tr -s ' \n' ' ' <"$work/locked.out" >"$work/locked.joined"
  contains "no write access is named" "cannot install into $locked/usr: no write access to $locked." "$work/locked.joined"
  [ -z "$(ls -A "$locked")" ] || fail "files were copied into the refused prefix"
else
  echo "note: no unprivileged user can read $build; the write-access check was skipped"
fi

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "install tree and examples: all checks passed"
