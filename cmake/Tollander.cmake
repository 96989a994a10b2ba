# tollander_test(NAME SOURCES file... LIBS lib... LABELS label... [TIMEOUT s])
# One GoogleTest executable, registered with CTest test by test.
include(GoogleTest)
find_package(GTest REQUIRED)

function(tollander_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
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
