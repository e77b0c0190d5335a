# Cross-compiles for 64-bit Arm Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu), and runs what it builds, such as the test discovery
# of GoogleTest and CTest's tests, under qemu-user:
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# tools/cross_aarch64.sh does the whole run, GoogleTest included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(HALVORN_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${HALVORN_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${HALVORN_CROSS_PREFIX}-g++)

# The target's C library and the libraries built for it; the host's own
# programs (cmake, python) stay where they are.
set(HALVORN_TARGET_SYSROOT /usr/${HALVORN_CROSS_PREFIX})
list(APPEND CMAKE_FIND_ROOT_PATH ${HALVORN_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages built for the target elsewhere (GoogleTest) are named by their
# <Package>_DIR, so the package search may look outside the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The static build of qemu-user needs nothing of the target's but its
# dynamic loader and libraries, which -L points at.
find_program(HALVORN_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(HALVORN_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HALVORN_QEMU_AARCH64} -L ${HALVORN_TARGET_SYSROOT})
endif()
