# timbral_library(<name> SOURCES ... DEPS ...)
# One static library per folder; headers live beside the sources and are
# included as "<folder>/<header>.h" from the repository root.
function(timbral_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# timbral_test(<name> SOURCES ... DEPS ...)
# A GoogleTest executable registered with CTest, one test per case.
function(timbral_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} test_support GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ENVIRONMENT "TIMBRAL_SOURCE_DIR=${PROJECT_SOURCE_DIR};TIMBRAL_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
