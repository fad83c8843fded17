#!/usr/bin/env bash
# Installs BUILD_DIR in a temporary prefix, builds examples/grab_photo.c from outside the tree with
# pkg-config (also statically) and with find_package, and runs them on the simulated camera; then the
# installed programs without an SDK. Args: BUILD_DIR SOURCE_DIR CC
set -euo pipefail
build=$1 src=$2 cc=$3 work=$(mktemp -d /tmp/qs-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
lib=$(dirname "$(find "$work/prefix" -name quellshot.pc)")/..
flags=$(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs quellshot)
"$cc" -Wall -Wextra -Werror "$src/examples/grab_photo.c" $flags -Wl,-rpath,"$lib" -o "$work/with_pkgconfig"
static=$(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --static --libs quellshot)
"$cc" "$src/examples/grab_photo.c" $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags quellshot) -Wl,-Bstatic \
  $static -Wl,-Bdynamic -o "$work/static"
if ldd "$work/static" | grep -E 'lib(quellshot|dudiz)'; then exit 1; fi
cmake -S "$src/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" \
  >/dev/null && cmake --build "$work/example" >/dev/null
cd "$work"  # the programs keep their lock under status/ beside themselves
# The prefix may hold the Aravis backend too, which looks for cameras on every network: always the
# simulator here, for a program outside the prefix by its path.
for prog in with_pkgconfig example/grab_photo static; do
  sdk=$([[ $prog == static ]] && echo "$lib/camsim/libMvCameraControl.so" || echo sim)
  out=$(env -u CAMSIM_SCENARIO QUELLSHOT_SDK="$sdk" CAMSIM_LOCKDIR="$work" CAMSIM_JOURNAL=journal "./$prog" "photo-${prog##*/}" 30)
  [[ $out == $'cameras: 1\n'*$'\nmodel: MV-CS050-10UC\nserial: SIM00001\nexposure: '*' us' &&
    $(head -c 2 "photo-${prog##*/}.jpg" | od -An -tx1) == ' ff d8' ]] || { echo "$prog: $out"; exit 1; }
done
if grep LEAK journal; then exit 1; fi
# Without the SDK (its package removed) the program still starts, helps and says what is missing.
rm "$lib/camsim/libMvCameraControl.so"
bin=$work/prefix/bin/quellshot
"$bin" --help >/dev/null && "$bin" --version >/dev/null
export QUELLSHOT_SDK=sim
[[ $("$bin" doctor 2>&1) == *"PROBLEM   camera SDK: no camera SDK found for sim: install the camera vendor's SDK"* ]] &&
  [[ $("$bin" count 2>&1) == *"cannot load the camera library: no camera SDK found for sim"* ]] &&
  ! "$bin" count 2>/dev/null || { echo "without an SDK: $("$bin" doctor 2>&1)"; exit 1; }
echo "install test passed"
