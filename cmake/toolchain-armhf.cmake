# Cross build for 32-bit ARM Debian (armhf) on a Debian host with multiarch:
# the target libraries and headers are Debian's own armhf packages installed
# beside the host's (/usr/lib/arm-linux-gnueabihf), so there is no sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# 64-bit off_t: with armhf's default 32-bit one, stat() fails on files past
# 2 GiB and sizes wrap. Dependencies keep 64-bit types of their own in their
# interfaces (curl_off_t, sqlite3_int64), so this changes no library's ABI.
# -Wno-psabi: everything is built by this one compiler, so GCC's note that the
# ARM calling convention for some types changed in GCC 7.1 concerns no code we link.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")

# Host tools (python, pkg-config) come from the host; libraries, headers and
# package configs only from the armhf side of the multiarch tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests and test discovery run through qemu's user-mode emulator. No -L: the
# binaries must load the multiarch libc6:armhf through /lib/ld-linux-armhf.so.3;
# pointing qemu at the cross toolchain's libc mixes two C libraries and breaks
# pthread_create.
find_program(VELK_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(VELK_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELK_QEMU_ARM})
endif()
