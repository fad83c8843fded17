#!/usr/bin/env bash
# Installs BUILD_DIR in a temporary prefix, builds examples/grab_photo.c from outside the tree with
# pkg-config and with find_package, and runs both on the simulated camera. Args: BUILD_DIR SOURCE_DIR CC
set -euo pipefail
build=$1 src=$2 cc=$3 work=$(mktemp -d /tmp/qs-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
lib=$(dirname "$(find "$work/prefix" -name quellshot.pc)")/..
flags=$(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs quellshot)
"$cc" -Wall -Wextra -Werror "$src/examples/grab_photo.c" $flags -Wl,-rpath,"$lib" -o "$work/with_pkgconfig"
cmake -S "$src/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" \
  >/dev/null && cmake --build "$work/example" >/dev/null
cd "$work"  # the programs keep their lock under status/ beside themselves
for prog in with_pkgconfig example/grab_photo; do
  out=$(env -u CAMSIM_SCENARIO CAMSIM_LOCKDIR="$work" CAMSIM_JOURNAL=journal "./$prog" "photo-${prog##*/}" 30)
  [[ $out == $'cameras: 1\n'*$'\nmodel: MV-CS050-10UC\nserial: SIM00001\nexposure: '*' us' &&
    $(head -c 2 "photo-${prog##*/}.jpg" | od -An -tx1) == ' ff d8' ]] || { echo "$prog: $out"; exit 1; }
done
if grep LEAK journal; then exit 1; fi
echo "install test passed"
