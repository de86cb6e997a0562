# Cross build for aarch64 Linux with Debian's g++-aarch64-linux-gnu; the
# programs and tests run under qemu-user (scripts/deps.sh --arm64 installs both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZIBBET_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZIBBET_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZIBBET_CROSS_TRIPLE}-g++)

# The target's libraries and headers live apart from the host's.
set(ZIBBET_CROSS_ROOT /usr/${ZIBBET_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${ZIBBET_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest, test discovery and custom commands run the target's programs here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${ZIBBET_CROSS_ROOT})
