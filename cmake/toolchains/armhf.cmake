# Cross build for the board's userland: Debian armhf (ARMv7, hard float) with
# the Debian cross compiler, against the armhf multiarch packages installed
# beside the native ones (/usr/lib/arm-linux-gnueabihf, /usr/include/...).
# Tests and other built programs run through qemu-arm (armhf-run), which
# finds the armhf loader and libraries at their multiarch paths.
#
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for armhf")

# Multiarch: the target's libraries live in the host's own tree, so the root
# is "/"; CMAKE_LIBRARY_ARCHITECTURE selects the armhf directories. Programs
# (moc, the code generators) are the host's.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# armhf-run starts qemu-arm; without it the tests cannot run at all.
find_program(ZEL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/armhf-run)
