# voxapp_size_options(TARGET): with VOXAPP_NO_EXCEPTIONS, the target's code carries no exception
# or unwind tables. Nothing in the daemon throws or catches (errors travel as values); a throw
# from inside the C++ library (out of memory) then ends the process, as it would uncaught. The
# tables are a fifth of the router's binary, and a try block no longer compiles. Test code keeps
# exceptions: GoogleTest and the test helpers use them.
function(voxapp_size_options target)
  if(VOXAPP_NO_EXCEPTIONS)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-unwind-tables
                                             -fno-asynchronous-unwind-tables)
  endif()
endfunction()

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
    voxapp_size_options(voxapp_${name})
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
  # Test programs are built without optimisation whatever the build type: optimising
  # GoogleTest's macro expansions was most of the build's time, and a test's own speed does not
  # matter. The code under test is in the libraries above, built with the build type's flags.
  target_compile_options(${exe}_tests PRIVATE -O0)
  gtest_discover_tests(${exe}_tests DISCOVERY_TIMEOUT 60)
endfunction()
