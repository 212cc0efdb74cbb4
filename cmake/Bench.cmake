# SPDX-License-Identifier: Apache-2.0
# Benchmarks: bench/*.cpp, each its own program; bench/run.sh runs them beside the peer tools.
if(NOT QV_FUZZ AND NOT QV_SANITIZE)
  file(GLOB QV_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  foreach(b ${QV_BENCH_SOURCES})
    get_filename_component(_name ${b} NAME_WE)
    add_executable(${_name} ${b})
    target_link_libraries(${_name} PRIVATE quorvex-core)
  endforeach()
endif()
