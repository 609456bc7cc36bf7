# Kernel sources built on the host: their warnings, and the source lists of
# the units that several targets compile (the kernel doubles, the CAAM
# stand-in, vcrypto), defined once here for every folder that needs them.

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
set(ZEL_CAAM_SIM_HOST_SOURCES caam_sim.c caam_sim_jr.c caam_sim_desc.c caam_sim_sm.c
    caam_sim_blob.c caam_sim_host.c)
list(TRANSFORM ZEL_CAAM_SIM_HOST_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/kernel/caam-sim/)

# The crypto device module, unchanged, for the host build.
set(ZEL_VCRYPTO_DIR ${PROJECT_SOURCE_DIR}/kernel/vcrypto)
set(ZEL_VCRYPTO_SOURCES ${ZEL_VCRYPTO_DIR}/vcrypto.c)
