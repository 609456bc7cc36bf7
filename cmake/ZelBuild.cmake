# Build conventions shared by every component.

# 64-bit file offsets and inode numbers on 32-bit targets too: without them
# readdir and stat fail with EOVERFLOW on a file system that hands out
# 64-bit values, and a store would take a readable directory for a broken one.
add_compile_definitions(_FILE_OFFSET_BITS=64)

if(ZEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(ZEL_SANITIZE STREQUAL "fuzz")
  # libFuzzer build (clang): every library carries the coverage
  # instrumentation; only the fuzz drivers link libFuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT ZEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZEL_SANITIZE must be empty, address, thread or fuzz")
endif()
# UBSan's alignment check takes the Thumb bit of a function's address for a
# misalignment whenever a reference to a function is bound (std::function
# from a function name), so sanitized ARM builds compile ARM-state code.
if(ZEL_SANITIZE STREQUAL "address" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  add_compile_options(-marm)
endif()

# zel_program_path(<var> <target>)
# A path that runs the built program when executed: the program itself, or in
# a cross build a script that runs it under CMAKE_CROSSCOMPILING_EMULATOR.
# For programs that tests start themselves (CTest adds the emulator only to
# the commands it starts).
function(zel_program_path var target)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} $<TARGET_FILE:${target}> PARENT_SCOPE)
    return()
  endif()
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.run)
  file(GENERATE OUTPUT ${script}
       CONTENT "#!/bin/sh\nexec ${emulator} \"$<TARGET_FILE:${target}>\" \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
  set(${var} ${script} PARENT_SCOPE)
endfunction()

# Our own code builds warning-free; third-party headers are included as
# system headers so their warnings do not count.
function(zel_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# zel_add_gtest(<name> SOURCES ... [LIBS ...] [TSAN] [CUSTOM_MAIN] [LABELS ...])
# One executable per suite, registered with CTest as one test. Suites that
# need a private system bus link zel_bus_test_main and say CUSTOM_MAIN; the
# others get GoogleTest's own main.
# TSAN marks a suite that also belongs in the ThreadSanitizer build; in that
# build every other suite is skipped.
function(zel_add_gtest name)
  cmake_parse_arguments(T "TSAN;CUSTOM_MAIN" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ZEL_BUILD_TESTS)
    return()
  endif()
  if(ZEL_SANITIZE STREQUAL "thread" AND NOT T_TSAN)
    return()
  endif()
  find_package(GTest REQUIRED)
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT T_CUSTOM_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  zel_strict_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set(labels unit ${T_LABELS})
  if(T_TSAN AND ZEL_SANITIZE STREQUAL "thread")
    list(APPEND labels tsan)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()

# zel_add_bench(<name> SOURCES ... [LIBS ...] [ARGS ...])
# zel_add_bench(<name> COMMAND ...)
# A benchmark prints its figures and never fails on a time. Every build
# compiles it; scripts/bench runs it from an optimised build without
# sanitizers (ZEL_RUN_BENCH).
function(zel_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;ARGS;COMMAND" ${ARGN})
  if(B_SOURCES)
    add_executable(${name} ${B_SOURCES})
    target_link_libraries(${name} PRIVATE ${B_LIBS})
    zel_strict_warnings(${name})
    set(command $<TARGET_FILE:${name}> ${B_ARGS})
  else()
    set(command ${B_COMMAND})
  endif()
  if(ZEL_RUN_BENCH)
    add_test(NAME ${name} COMMAND ${command})
    set_tests_properties(${name} PROPERTIES LABELS bench TIMEOUT 3600 RUN_SERIAL TRUE)
  endif()
endfunction()

# zel_add_fuzz(<name> SOURCES ... [LIBS ...] CORPUS <dir>)
# A libFuzzer driver with its seed corpus in the source tree (<dir>, relative
# to the calling folder). Only the fuzz build makes these; scripts/fuzz runs
# them from the list that zel_write_fuzz_list() writes.
function(zel_add_fuzz name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT ZEL_SANITIZE STREQUAL "fuzz")
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  zel_strict_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY ZEL_FUZZ_TARGETS ${name})
  set_property(GLOBAL APPEND PROPERTY ZEL_FUZZ_LINES
               "${name} $<TARGET_FILE:${name}> ${CMAKE_CURRENT_SOURCE_DIR}/${F_CORPUS}")
endfunction()

# fuzz-targets.txt in the build folder: "name binary corpus" per line, and
# the target zel_fuzz that builds every driver.
function(zel_write_fuzz_list)
  get_property(targets GLOBAL PROPERTY ZEL_FUZZ_TARGETS)
  get_property(lines GLOBAL PROPERTY ZEL_FUZZ_LINES)
  list(JOIN lines "\n" content)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz-targets.txt CONTENT "${content}\n")
  add_custom_target(zel_fuzz DEPENDS ${targets})
endfunction()

find_package(Threads REQUIRED)

include(ZelKernel)
