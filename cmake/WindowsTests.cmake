# SPDX-License-Identifier: Apache-2.0
# The Windows tests, run under Wine by ctest (CMAKE_CROSSCOMPILING_EMULATOR): GoogleTest built
# from Debian's source package with the cross compiler, the unit tables that hold on Windows,
# the Windows-only table, and the CLI end-to-end runs that make sense there.
set(QV_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: googletest)")
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)  # Windows threads inside GoogleTest
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QV_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest is built as it is, without the platform layer's forced include.
foreach(_t gtest gtest_main)
  set_property(TARGET ${_t} PROPERTY COMPILE_OPTIONS "")
endforeach()

set(QV_WINE_ENV "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDEBUG=-all;QV_SOURCE_DIR=${CMAKE_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR}")

# Unit tests shared with Linux that hold on Windows. Left out, and why:
#   crypto/ZipAesInteropTest    runs 7-Zip, a Linux program a Windows process cannot start
#   base, transfer, restore, cli make their fixtures with Linux tools (sh, zip, gzip, python3)
#                               through std::system and check POSIX permission bits and
#                               symbolic links; their restores are covered below by the CLI
#                               scripts, which make the fixtures on the Linux side.
set(QV_WIN_UNIT_SOURCES
  ${CMAKE_SOURCE_DIR}/tests/crypto/AesLibTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/crypto/CipherPrimitivesTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/crypto/OverlappedDecryptTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/crypto/SaltPoolTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/crypto/Sha1LanesTest.cpp)
add_executable(test_win_crypto ${QV_WIN_UNIT_SOURCES})
target_link_libraries(test_win_crypto PRIVATE quorvex-core gtest gtest_main)
target_include_directories(test_win_crypto BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/tests/win32/include ${CMAKE_SOURCE_DIR}/tests)
add_test(NAME win_crypto COMMAND test_win_crypto)

# The base units that do not depend on POSIX permissions, links, XDG folders or catalogues.
set(QV_WIN_BASE_SOURCES
  ${CMAKE_SOURCE_DIR}/tests/base/CodePageTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/base/FormatUtilsTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/base/FtGlobalTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/base/HelperThreadTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/base/PathUtilsTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/base/ReadBufferTest.cpp
  ${CMAKE_SOURCE_DIR}/tests/base/TimeUtilsTest.cpp)
add_executable(test_win_base ${QV_WIN_BASE_SOURCES})
target_link_libraries(test_win_base PRIVATE quorvex-core gtest gtest_main)
target_include_directories(test_win_base PRIVATE ${CMAKE_SOURCE_DIR}/tests)
# DosTimes.ReadAsLocalTimeWithTheRulesOfThatDate sets its zones as POSIX TZ strings with
# daylight-saving rules, which the Windows C runtime does not read.
add_test(NAME win_base COMMAND test_win_base --gtest_filter=-DosTimes.ReadAsLocalTimeWithTheRulesOfThatDate)

add_executable(test_win_platform ${CMAKE_SOURCE_DIR}/tests/win32/WindowsPlatformTest.cpp)
target_link_libraries(test_win_platform PRIVATE quorvex-core gtest gtest_main)
target_include_directories(test_win_platform PRIVATE ${CMAKE_SOURCE_DIR}/tests)
add_test(NAME win_platform COMMAND test_win_platform)

set_tests_properties(win_crypto win_base win_platform PROPERTIES LABELS windows ENVIRONMENT "${QV_WINE_ENV}" TIMEOUT 600)

# The CLI under Wine: the shared end-to-end scripts that hold on Windows, each given a
# wrapper that runs the .exe, and the Windows script of our own. Left out, and why:
#   terminal_pty       drives a POSIX terminal (pty, SIGINT, SIGWINCH)
#   casefold           mounts a FUSE file system
#   usage_docs         checks the man pages and shell completions, not built for Windows
#   language_codepage  needs the message catalogues (gettext), not on Windows yet
#   filters_json       its fixtures hold a FIFO and a name with a byte that is not UTF-8, which
#                      Windows names (UTF-16) cannot hold; Wine shows the FIFO as a file
#   inputs_versions    checks that a FIFO is refused: Wine shows it as a file
set(QV_WIN_CLI_SCRIPTS restore_e2e exit_status preview_e2e)
foreach(_s ${QV_WIN_CLI_SCRIPTS})
  add_test(NAME win_cli_${_s} COMMAND bash ${CMAKE_SOURCE_DIR}/tests/cli/${_s}.sh
    ${CMAKE_SOURCE_DIR}/tests/win32/wine-cli.sh)
endforeach()
add_test(NAME win_cli_windows COMMAND bash ${CMAKE_SOURCE_DIR}/tests/win32/cli_wine.sh
  ${CMAKE_SOURCE_DIR}/tests/win32/wine-cli.sh)
set(_cli_tests win_cli_windows)
foreach(_s ${QV_WIN_CLI_SCRIPTS})
  list(APPEND _cli_tests win_cli_${_s})
endforeach()
set_tests_properties(${_cli_tests} PROPERTIES LABELS windows TIMEOUT 600 SKIP_RETURN_CODE 77
  ENVIRONMENT "${QV_WINE_ENV};QV_WIN_EXE=$<TARGET_FILE:quorvex-restore-cli>")
