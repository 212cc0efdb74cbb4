# SPDX-License-Identifier: Apache-2.0
# Unit tests: tests/<subsystem>/*.cpp form one GoogleTest program per subsystem.
find_package(GTest REQUIRED)
set(QV_TEST_ENV "QV_SOURCE_DIR=${CMAKE_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR}")
if(QV_SANITIZE)
  # A closure that writes a local of a function that has returned is caught, too.
  list(APPEND QV_TEST_ENV "ASAN_OPTIONS=detect_stack_use_after_return=1")
endif()

function(qv_unit_tests sub)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${sub}/*.cpp)
  if(NOT _src)
    return()
  endif()
  add_executable(test_${sub} ${_src})
  target_link_libraries(test_${sub} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
  target_include_directories(test_${sub} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_dependencies(test_${sub} translations)
  add_test(NAME ${sub} COMMAND test_${sub})
  set_tests_properties(${sub} PROPERTIES LABELS core ENVIRONMENT "${QV_TEST_ENV}" TIMEOUT 600)
endfunction()

if(NOT QV_FUZZ)
  qv_unit_tests(base qv-base)
  qv_unit_tests(crypto qv-base qv-crypto)
  qv_unit_tests(transfer qv-base qv-crypto qv-transfer)
  qv_unit_tests(restore quorvex-core)
  # The restore runs again with four transfers at once: the same messages in the same order.
  add_test(NAME restore_jobs4 COMMAND test_restore)
  set_tests_properties(restore_jobs4 PROPERTIES LABELS core ENVIRONMENT "${QV_TEST_ENV};QV_TEST_JOBS=4" TIMEOUT 600)
  qv_unit_tests(cli qv-cli)

  # End-to-end runs of the built CLI: tests/cli/*.sh, each given the CLI's path.
  file(GLOB QV_CLI_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/cli/*.sh)
  foreach(t ${QV_CLI_TESTS})
    get_filename_component(_name ${t} NAME_WE)
    add_test(NAME cli_${_name} COMMAND bash ${t} $<TARGET_FILE:quorvex-restore-cli>)
    set_tests_properties(cli_${_name} PROPERTIES LABELS cli ENVIRONMENT "${QV_TEST_ENV}" TIMEOUT 600
      SKIP_RETURN_CODE 77)
  endforeach()

  # The Debian packages, built and unpacked into a fresh root (needs the window and the demo's
  # bench_restore, so only in the full release build).
  if(TARGET quorvex-restore AND TARGET bench_restore)
    add_test(NAME package COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/check.sh
      ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    # It builds the source package itself: a few minutes on two cores.
    set_tests_properties(package PROPERTIES LABELS package TIMEOUT 1500)
  endif()
endif()

# Fuzz targets: tests/fuzz/*.cpp, each a libFuzzer program.
if(QV_FUZZ)
  file(GLOB QV_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
  foreach(f ${QV_FUZZ_SOURCES})
    get_filename_component(_name ${f} NAME_WE)
    add_executable(${_name} ${f})
    target_link_libraries(${_name} PRIVATE quorvex-core)
    target_link_options(${_name} PRIVATE -fsanitize=fuzzer)
  endforeach()
endif()

# A file system that ignores case, for the end-to-end runs onto such a disk (skipped without it).
pkg_check_modules(FUSE3 IMPORTED_TARGET fuse3)
if(FUSE3_FOUND AND NOT QV_FUZZ)
  add_executable(casefold_fs ${CMAKE_SOURCE_DIR}/tests/cli/casefold_fs.c)
  target_link_libraries(casefold_fs PRIVATE PkgConfig::FUSE3)
endif()
