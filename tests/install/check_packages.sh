#!/usr/bin/env bash
# Builds the Debian packages of BUILD_DIR and checks their fields, their files and that the programs and
# libraries are ELF files of the package's architecture. Arguments: BUILD_DIR amd64|armhf
set -euo pipefail
build=$1 arch=$2 fail=0 work=$(mktemp -d /tmp/qs-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
check() {  # PACKAGE FILE...: the package for ARCH holds these files, and no simulator in the system's path
  local deb=$build/${1}_0.1.0_$arch.deb files f
  [[ $(dpkg-deb --field "$deb" Package Architecture) == "Package: $1"$'\n'"Architecture: $arch" ]] ||
    { echo "$1: not a package for $arch"; fail=1; }
  files=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for f in "${@:2}"; do grep -qx "./usr/$f" <<<"$files" || { echo "$1: no $f"; fail=1; }; done
  if grep -qx ./usr/lib/libMvCameraControl.so <<<"$files"; then echo "$1: simulator in /usr/lib"; fail=1; fi
  dpkg-deb --extract "$deb" "$work"
}
aravis=$([[ -e $build/quellshot-toolkit-aravis_0.1.0_$arch.deb ]] && echo -aravis || true)
for p in quellshot-toolkit{,-dev,-sim} ${aravis:+quellshot-toolkit-aravis}; do
  docs+=("$p:share/doc/$p/copyright share/doc/$p/README")
done
check quellshot-toolkit bin/morven bin/quellshot lib/libdudiz.so.0 lib/libquellshot.so.0 lib/tmpfiles.d/quellshot.conf
check quellshot-toolkit-dev include/quellshot/quellshot.h include/dudiz/swlog.h lib/lib{dudiz,quellshot}.a \
  lib/pkgconfig/{quellshot,dudiz}.pc lib/cmake/{quellshot/quellshot,dudiz/dudiz}Config.cmake
check quellshot-toolkit-sim lib/camsim/libMvCameraControl.so include/camsim/camsim.h
if [[ $aravis ]]; then
  check quellshot-toolkit-aravis lib/camaravis/libMvCameraControl.so
  [[ $(dpkg-deb --field "$build/quellshot-toolkit-aravis_0.1.0_$arch.deb" Provides) == quellshot-camera-sdk &&
     $(dpkg-deb --field "$build/quellshot-toolkit-aravis_0.1.0_$arch.deb" Depends) == *"libaravis-0.8-0 (>= 0.8.26)"* ]] ||
    { echo "quellshot-toolkit-aravis: relations"; fail=1; }
fi
for d in "${docs[@]}"; do check ${d%%:*} ${d#*:}; done
# Without a camera SDK the programs cannot work: the toolkit recommends one, which our backends provide;
# installing it makes the lock directory every user may write to.
[[ $(dpkg-deb --field "$build/quellshot-toolkit_0.1.0_$arch.deb" Recommends) == "quellshot-toolkit${aravis:--sim} | quellshot-camera-sdk" &&
   $(dpkg-deb --field "$build/quellshot-toolkit-sim_0.1.0_$arch.deb" Provides) == quellshot-camera-sdk &&
   $(dpkg-deb --ctrl-tarfile "$build/quellshot-toolkit_0.1.0_$arch.deb" | tar -xO ./postinst) == *"install -d -m 1777 /run/lock/quellshot"* ]] ||
  { echo "package relations or the lock directory missing"; fail=1; }
elf=$([[ $arch == armhf ]] && echo 'ELF 32-bit LSB .* ARM, EABI5' || echo 'ELF 64-bit LSB .* x86-64')
for f in "$work"/usr/bin/* "$work"/usr/lib/*.so.0 "$work"/usr/lib/cam*/*.so; do
  [[ $(file -L "$f") =~ $elf ]] || { echo "not $arch: $(file -L "$f")"; fail=1; }
done
[[ $fail == 0 ]] && echo "packages for $arch look right"; exit $fail
