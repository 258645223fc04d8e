# voxapp_module(NAME DIR DEPS ...): a static library from the .cpp files directly in DIR.
# A folder without sources becomes an interface library so that dependants link regardless.
function(voxapp_module name dir)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  if(sources)
    add_library(voxapp_${name} STATIC ${sources})
    target_include_directories(voxapp_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src
                                                     ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(voxapp_${name} PUBLIC ${M_DEPS})
  else()
    add_library(voxapp_${name} INTERFACE)
    target_include_directories(voxapp_${name} INTERFACE ${CMAKE_SOURCE_DIR}/src
                                                        ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(voxapp_${name} INTERFACE ${M_DEPS})
  endif()
endfunction()

# voxapp_tests(DIR LIBS ...): one GoogleTest executable from the *_test.cpp files in DIR.
function(voxapp_tests dir)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  string(REPLACE "/" "_" exe ${dir})
  add_executable(${exe}_tests ${sources})
  target_include_directories(${exe}_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${exe}_tests PRIVATE ${T_LIBS} voxapp_test_support GTest::gtest_main
                                             GTest::gmock)
  # GoogleTest's headers are most of a test file's compile time: they are parsed once per
  # program.
  target_precompile_headers(${exe}_tests PRIVATE <gtest/gtest.h> <gmock/gmock.h> <chrono>
                            <filesystem> <functional> <memory> <optional> <string> <thread>
                            <vector>)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # With the precompiled header GCC 12 at -O2 reports string concatenation in test bodies as
    # copies out of bounds: the same false positive that -Wno-restrict answers, seen only here.
    target_compile_options(${exe}_tests PRIVATE -Wno-array-bounds -Wno-stringop-overflow)
  endif()
  gtest_discover_tests(${exe}_tests DISCOVERY_TIMEOUT 60)
endfunction()
