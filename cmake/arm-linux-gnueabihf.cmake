# Cross build for 32-bit ARM, hard-float (armhf), on a Debian host with multiarch armhf packages.
# Test programs run through qemu-arm; libc6:armhf and libstdc++6:armhf provide the loader and
# runtime at their usual multiarch paths, so no -L sysroot is needed (it crashes in pthread_create).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm CACHE FILEPATH "Runs armhf programs on the host")
# Look for armhf libraries only in their multiarch directories, never the host's.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
