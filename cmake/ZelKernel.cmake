# Kernel sources built on the host: their warnings, and the source lists of
# the units that several targets compile (the kernel doubles, the CAAM
# stand-in, vcrypto), defined once here for every folder that needs them.
# A kernel module's units come from its units.mk, the list its Kbuild reads
# too, so the two builds cannot drift apart.

# zel_kbuild_units(<module dir> <make variable> <out var>): the sources
# (<dir>/<unit>.c) of the units listed as "<variable> := unit ..." in the
# module's units.mk; a change to that file reconfigures.
function(zel_kbuild_units dir variable out)
  set(file ${dir}/units.mk)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(READ ${file} text)
  string(REGEX REPLACE "\\\\\n" " " text "${text}")
  if(NOT text MATCHES "(^|\n)${variable}[ \t]*:=([^\n]*)")
    message(FATAL_ERROR "${file} does not set ${variable}")
  endif()
  separate_arguments(units UNIX_COMMAND "${CMAKE_MATCH_2}")
  list(TRANSFORM units PREPEND ${dir}/)
  list(TRANSFORM units APPEND .c)
  set(${out} ${units} PARENT_SCOPE)
endfunction()

# Kernel-style C: operation tables fix the signatures, so some parameters go
# unused, as in any kernel build; the 4.1 kernel builds as gnu89, which
# takes no declarations after statements.
set(ZEL_KERNEL_C_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter
    -Wdeclaration-after-statement)

# The kernel doubles (kernel/testing): memory, user copies, DMA, devices,
# files and completions serve the crypto device and the CAAM stand-in;
# tasks, wait queues and ttys serve the line disciplines.
set(ZEL_KTEST_INCLUDE ${PROJECT_SOURCE_DIR}/kernel/testing/include)
set(ZEL_KTEST_DEVICE_SOURCES log.c fault.c memory.c uaccess.c dma.c device.c files.c
    completion.c)
set(ZEL_KTEST_TTY_SOURCES sched.c tty.c)
list(TRANSFORM ZEL_KTEST_DEVICE_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/kernel/testing/src/)
list(TRANSFORM ZEL_KTEST_TTY_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/kernel/testing/src/)

# The CAAM stand-in's host build: its core (also in the kernel module, see
# kernel/caam-sim/Kbuild) on the host platform (OpenSSL, kernel doubles).
set(ZEL_CAAM_SIM_INCLUDE ${PROJECT_SOURCE_DIR}/kernel/caam-sim/include)
zel_kbuild_units(${PROJECT_SOURCE_DIR}/kernel/caam-sim caam-sim-units ZEL_CAAM_SIM_HOST_SOURCES)
list(APPEND ZEL_CAAM_SIM_HOST_SOURCES ${PROJECT_SOURCE_DIR}/kernel/caam-sim/caam_sim_host.c)

# The crypto device module, unchanged, for the host build.
set(ZEL_VCRYPTO_DIR ${PROJECT_SOURCE_DIR}/kernel/vcrypto)
zel_kbuild_units(${ZEL_VCRYPTO_DIR} vcrypto-units ZEL_VCRYPTO_SOURCES)

# The line discipline module, for its host tests and the receive benchmark.
set(ZEL_TARN_DIR ${PROJECT_SOURCE_DIR}/kernel/tarn)
zel_kbuild_units(${ZEL_TARN_DIR} tarn-units ZEL_TARN_SOURCES)
