# timbral_folder_library(<name> DEPS ...)
# One static library per folder, made of every .cpp file in the folder and
# its sub-folders. Headers live beside the sources and are included as
# "<folder>/<header>.h" from the repository root. Under dsp/x86 the file
# name selects the instruction set the file is compiled for, so that only
# those files use it and the program runs on any x86-64 processor:
#   *_sse2.cpp -msse2   *_sse3.cpp -msse3   *_sse41.cpp -msse4.1
#   *_avx.cpp -mavx     *_avx2.cpp -mavx2   *_fma.cpp -mavx2 -mfma
function(timbral_folder_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "/${ex}$")
  endforeach()
  if(NOT sources)
    return()
  endif()
  foreach(src ${sources})
    get_filename_component(base ${src} NAME_WE)
    if(base MATCHES "_fma$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
    elseif(base MATCHES "_avx2$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2")
    elseif(base MATCHES "_avx$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx")
    elseif(base MATCHES "_sse41$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-msse4.1")
    elseif(base MATCHES "_sse3$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-msse3")
    endif()
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  # Lower folders that have no sources yet have no target; skip them.
  foreach(dep ${ARG_DEPS})
    if(TARGET ${dep})
      target_link_libraries(${name} PUBLIC ${dep})
    endif()
  endforeach()
endfunction()

# timbral_folder_tests(<name> DEPS ...)
# One GoogleTest executable of every *_test.cpp in the folder, registered
# with CTest one test per case.
function(timbral_folder_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} test_support GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ENVIRONMENT
      "TIMBRAL_SOURCE_DIR=${PROJECT_SOURCE_DIR};TIMBRAL_BINARY_DIR=${PROJECT_BINARY_DIR};TIMBRAL_BIN=${PROJECT_BINARY_DIR}/timbral;CONFORMANCE_DIR=${PROJECT_SOURCE_DIR}/../shared/conformance")
endfunction()
