# tollander_test(NAME SOURCES file... LIBS lib... LABELS label... [TIMEOUT s])
# One GoogleTest executable, registered with CTest test by test; its main
# (tests/common/test_main.cpp) gives each run a scratch home of its own.
include(GoogleTest)
if(CMAKE_CROSSCOMPILING)
  # Debian's GoogleTest sources, built with the cross compiler.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Windows programs run under Wine, sharing one prefix in the build folder.
  set(TOLLANDER_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    env TOLLANDER_WINE_PREFIX=${TOLLANDER_WINE_PREFIX} ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
else()
  find_package(GTest REQUIRED)
endif()

function(tollander_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest test_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # One Wine start per executable, not per test case.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS};windows" TIMEOUT ${T_TIMEOUT}
      ENVIRONMENT "TOLLANDER_BIN=${CMAKE_BINARY_DIR}/bin;TOLLANDER_SOURCE=${PROJECT_SOURCE_DIR}")
    return()
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS)
  # Discovery flattens list-valued properties (several labels, two variables),
  # so they are set by a CTest include file that runs after the discovered
  # tests exist.
  set(properties ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
  file(WRITE ${properties}
    "if(DEFINED ${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
    "    LABELS \"${T_LABELS}\" TIMEOUT ${T_TIMEOUT}\n"
    "    ENVIRONMENT \"TOLLANDER_BIN=${CMAKE_BINARY_DIR}/bin;TOLLANDER_SOURCE=${PROJECT_SOURCE_DIR}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties})
endfunction()
