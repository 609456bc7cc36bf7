# Cross build for the board's userland: Debian armhf (ARMv7, hard float) with
# the Debian cross compiler, against a sysroot of Debian's armhf packages
# (board/armhf/sysroot: the libraries the board image runs). Tests and other
# built programs run through qemu-arm (armhf-run) with that sysroot as the
# root of their loader and libraries.
#
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake \
#         [-DZEL_ARMHF_SYSROOT=DIR]
#
# Without ZEL_ARMHF_SYSROOT the sysroot is built or found by
# board/armhf/sysroot (root is needed the first time).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes on every Qt iterator passed by value that its ARM calling
# convention changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# try_compile projects read this file again, without the cache: the
# sysroot travels to them in the environment.
if(NOT ZEL_ARMHF_SYSROOT AND DEFINED ENV{ZEL_ARMHF_SYSROOT})
  set(ZEL_ARMHF_SYSROOT $ENV{ZEL_ARMHF_SYSROOT})
endif()
if(NOT ZEL_ARMHF_SYSROOT)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../board/armhf/sysroot
                  OUTPUT_VARIABLE ZEL_ARMHF_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE zel_sysroot_status)
  if(NOT zel_sysroot_status EQUAL 0 OR NOT IS_DIRECTORY "${ZEL_ARMHF_SYSROOT}")
    message(FATAL_ERROR "No armhf sysroot: board/armhf/sysroot failed (run it as root)")
  endif()
endif()
set(ENV{ZEL_ARMHF_SYSROOT} ${ZEL_ARMHF_SYSROOT})
set(ZEL_ARMHF_SYSROOT ${ZEL_ARMHF_SYSROOT} CACHE PATH "armhf sysroot of the cross build")
set(CMAKE_SYSROOT ${ZEL_ARMHF_SYSROOT})

# pkg-config answers for the sysroot's packages, with paths inside it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZEL_ARMHF_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    "${ZEL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ZEL_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "pkg-config")

# Libraries, headers and packages from the sysroot only; programs (moc, the
# code generators) are the host's.
set(CMAKE_FIND_ROOT_PATH ${ZEL_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# armhf-run starts qemu-arm; without it the tests cannot run at all.
find_program(ZEL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/armhf-run -L ${ZEL_ARMHF_SYSROOT})
