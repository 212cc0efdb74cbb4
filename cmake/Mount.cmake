# SPDX-License-Identifier: Apache-2.0
# The read-only FUSE mount of a backup (src/mount), linked by the CLI when libfuse3 is found;
# the core library and the window do not need it.
pkg_check_modules(FUSE3 IMPORTED_TARGET fuse3)
if(NOT FUSE3_FOUND)
  message(STATUS "libfuse3 not found (Debian: libfuse3-dev): the CLI is built without mount")
  return()
endif()

file(GLOB QV_MOUNT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/mount/*.cpp)
add_library(qv-mount STATIC ${QV_MOUNT_SOURCES})
target_link_libraries(qv-mount PUBLIC quorvex-core PkgConfig::FUSE3)
target_compile_definitions(qv-mount PUBLIC QV_HAVE_MOUNT=1)
target_link_libraries(qv-cli PUBLIC qv-mount)

if(QV_TESTS AND NOT QV_FUZZ)
  find_package(GTest QUIET)
  file(GLOB QV_MOUNT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/mount/*.cpp)
  if(GTest_FOUND AND QV_MOUNT_TESTS)
    add_executable(test_mount ${QV_MOUNT_TESTS})
    target_link_libraries(test_mount PRIVATE qv-mount GTest::gtest GTest::gtest_main)
    target_include_directories(test_mount PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    add_test(NAME mount COMMAND test_mount)
    set_tests_properties(mount PROPERTIES LABELS core TIMEOUT 600
      ENVIRONMENT "QV_SOURCE_DIR=${CMAKE_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endif()
endif()

# bench/bench_mount.cpp is made by the benchmarks' own rule (cmake/Bench.cmake, later); it
# gets the mount library once that rule has run.
function(qv_link_bench_mount)
  if(TARGET bench_mount)
    target_link_libraries(bench_mount PRIVATE qv-mount)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL qv_link_bench_mount)
