# SPDX-License-Identifier: Apache-2.0
# The Windows build (cmake/Toolchain-mingw-w64.cmake): the core and the CLI on the Win32
# platform layer (src/base/win32), CNG for AES and zlib for inflate, one static program.
set(QV_INFLATE zlib)
set(QV_GUI OFF)

add_library(qv-win32-sys INTERFACE)
target_link_libraries(qv-win32-sys INTERFACE bcrypt ntdll ws2_32 shell32 ole32 uuid)
set(QV_CRYPTO_LIB qv-win32-sys)

add_compile_definitions(_FILE_OFFSET_BITS=64 WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00
  __USE_MINGW_ANSI_STDIO=1)
# The system headers that Windows lacks, answered by the platform layer, come first.
include_directories(BEFORE ${CMAKE_SOURCE_DIR}/src/base/win32/include)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_SOURCE_DIR}/src/base/win32/PosixOnWin32.h>")
add_link_options(-static -static-libgcc -static-libstdc++)

if(QV_TESTS)
  enable_testing()  # the tests are added in qv_windows_targets, after the targets they run
endif()

function(qv_windows_targets)
  target_sources(qv-base PRIVATE ${CMAKE_SOURCE_DIR}/src/base/win32/PosixOnWin32.cpp)
  target_sources(qv-crypto PRIVATE ${CMAKE_SOURCE_DIR}/src/crypto/win32/CngCrypto.cpp)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/cli/Terminal.cpp PROPERTIES HEADER_FILE_ONLY ON)
  target_sources(qv-cli PRIVATE ${CMAKE_SOURCE_DIR}/src/cli/win32/TerminalWin32.cpp)
  if(QV_TESTS)
    include(${CMAKE_SOURCE_DIR}/cmake/WindowsTests.cmake)
  endif()
endfunction()
