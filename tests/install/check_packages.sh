#!/usr/bin/env bash
# Builds the Debian packages of a build directory and checks them: names, architecture,
# dependencies, the files each one holds, and that the programs and libraries are ELF files of the
# package's architecture. Arguments: BUILD_DIR ARCH (amd64 or armhf)
set -euo pipefail
build=$1 arch=$2
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
work=$(mktemp -d /tmp/qs-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
case $arch in
  armhf) elf='ELF 32-bit LSB .* ARM, EABI5' ;;
  amd64) elf='ELF 64-bit LSB .* x86-64' ;;
  *) echo "unknown architecture $arch"; exit 2 ;;
esac
fail=0
check() { # PACKAGE FILE...: the package exists for ARCH and holds these files
  local pkg=$1; shift
  local deb="$build/${pkg}_0.1.0_${arch}.deb"
  if [[ ! -f $deb ]]; then echo "missing package $deb"; fail=1; return; fi
  [[ $(dpkg-deb --field "$deb" Architecture) == "$arch" ]] || { echo "$pkg: wrong architecture"; fail=1; }
  [[ $(dpkg-deb --field "$deb" Package) == "$pkg" ]] || { echo "$pkg: wrong name"; fail=1; }
  dpkg-deb --info "$deb" >/dev/null
  local contents
  contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for f in "$@"; do
    grep -qx "./$f" <<<"$contents" || { echo "$pkg: $f missing"; fail=1; }
  done
  mkdir -p "$work/$pkg" && dpkg-deb --extract "$deb" "$work/$pkg"
}
check quellshot-toolkit usr/bin/morven usr/bin/quellshot usr/lib/libdudiz.so.0 usr/lib/libquellshot.so.0
check quellshot-toolkit-dev usr/include/quellshot/quellshot.h usr/include/dudiz/swlog.h \
  usr/lib/libdudiz.a usr/lib/libquellshot.a usr/lib/pkgconfig/quellshot.pc usr/lib/pkgconfig/dudiz.pc \
  usr/lib/cmake/quellshot/quellshotConfig.cmake usr/lib/cmake/dudiz/dudizConfig.cmake
check quellshot-toolkit-sim usr/lib/camsim/libMvCameraControl.so usr/include/camsim/camsim.h
# Nothing of the simulator may land where the system looks for libraries.
if dpkg-deb --contents "$build/quellshot-toolkit-sim_0.1.0_${arch}.deb" | awk '{print $6}' |
  grep -qx './usr/lib/libMvCameraControl.so'; then
  echo "simulator in the system library path"; fail=1
fi
for f in "$work"/quellshot-toolkit/usr/bin/* "$work"/quellshot-toolkit/usr/lib/*.so.0 \
         "$work"/quellshot-toolkit-sim/usr/lib/camsim/*.so; do
  file -L "$f" | grep -Eq "$elf" || { echo "not a $arch ELF file: $(file -L "$f")"; fail=1; }
done
[[ $fail -eq 0 ]] && echo "packages for $arch look right"
exit $fail
