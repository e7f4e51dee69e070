# Cross-builds for Linux on arm64 with Debian's GCC (package
# g++-aarch64-linux-gnu); programs run under qemu's user-mode emulator
# (qemu-user-static or qemu-user), which finds the arm64 C library and
# loader under the cross root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(AUTHORSTAMP_CROSS_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${AUTHORSTAMP_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(AUTHORSTAMP_QEMU NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${AUTHORSTAMP_QEMU};-L;${AUTHORSTAMP_CROSS_ROOT})
