# The distribution's hardening flags, as its own packages are built with them
# (dpkg-buildflags with every hardening feature: fortified functions, the
# stack protector, RELRO and immediate binding), for every Linux build but
# the sanitizers', which bring their own checks. Only the hardening is taken:
# the build type keeps the optimisation and debug flags, and the paths stay
# as they are.
if(WIN32 OR TOLLANDER_SANITIZE)
  return()
endif()
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
  return()
endif()

foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^(-g|-O.*|-f(file|debug|macro)-prefix-map=.*)$")
  if(kind STREQUAL "LDFLAGS")
    add_link_options(${flags})
  else()
    add_compile_options(${flags})
  endif()
endforeach()
