#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, builds the example host program from outside
# the tree with pkg-config and with find_package, and runs both against the simulated camera.
# Arguments: BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 src=$2 cc=$3
work=$(mktemp -d /tmp/qs-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name quellshot.pc -print -quit)")/..
export PKG_CONFIG_PATH=$libdir/pkgconfig
pc_flags=$(pkg-config --cflags --libs quellshot)
"$cc" -Wall -Wextra -Werror "$src/examples/grab_photo.c" $pc_flags -Wl,-rpath,"$libdir" -o "$work/with_pkgconfig"

cmake -S "$src/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/example" >/dev/null

export CAMSIM_LOCKDIR=$work CAMSIM_JOURNAL=$work/journal
unset CAMSIM_SCENARIO
cd "$work"  # the programs keep their lock under status/ beside themselves, inside $work
for prog in "$work/with_pkgconfig" "$work/example/grab_photo"; do
  out=$("$prog" "$work/photo-$(basename "$prog")" 30)
  grep -qx 'cameras: 1' <<<"$out" || { echo "unexpected output of $prog: $out"; exit 1; }
  grep -qx 'model: MV-CS050-10UC' <<<"$out" || { echo "unexpected output of $prog: $out"; exit 1; }
  grep -qx 'serial: SIM00001' <<<"$out" || { echo "unexpected output of $prog: $out"; exit 1; }
  head -c 2 "$work/photo-$(basename "$prog").jpg" | od -An -tx1 | grep -q 'ff d8' || { echo "no JPEG from $prog"; exit 1; }
done
# The simulator lives in its private directory, never beside the system's libraries.
test -e "$libdir/camsim/libMvCameraControl.so"
test ! -e "$libdir/libMvCameraControl.so"
grep -q 'LEAK' "$work/journal" && { echo "leaks in the journal"; exit 1; }
echo "install test passed"
