# Installation (cmake --install) and the Debian packages (the "package"
# target): the programs, a manual page each, bash completion, a sample
# flasher each, the udev rules template, and each package's copyright and
# changelog. Two packages: tollander-flash-console (the console flasher and
# the tools; no X11) and tollander-flash (the window flasher, which depends
# on the first).
include(GNUInstallDirs)

set(TOLLANDER_PROGRAMS
  tollander-flash tollander-flash-console tollander-pack tollander-lzss
  tollander-vmodem tollander-mkfirmware)
# The package (CPack component) of each program: the window's alone needs X11.
function(tollander_component program out)
  if(program STREQUAL "tollander-flash")
    set(${out} window PARENT_SCOPE)
  else()
    set(${out} console PARENT_SCOPE)
  endif()
endfunction()

set(installed_programs)
foreach(program ${TOLLANDER_PROGRAMS})
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
    tollander_component(${program} component)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  endif()
endforeach()

# The rest is for Debian and its relatives.
if(WIN32)
  return()
endif()

# Manual pages, compressed as Debian wants them, and bash completion.
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(man_pages)
foreach(program ${installed_programs})
  tollander_component(${program} component)
  set(page ${PROJECT_SOURCE_DIR}/docs/man/${program}.1)
  add_custom_command(
    OUTPUT ${man_dir}/${program}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND gzip -9n -c ${page} > ${man_dir}/${program}.1.gz
    DEPENDS ${page}
    COMMENT "Compressing the manual page of ${program}"
    VERBATIM)
  list(APPEND man_pages ${man_dir}/${program}.1.gz)
  install(FILES ${man_dir}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tollander.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program}
    COMPONENT ${component})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})

# The sample flashers, to try on the virtual modem as the manual pages show:
# each packed from a stripped copy of its program, as the package's programs
# are stripped (installed as files, so that nothing strips the payload away).
set(sample_dir lib/tollander-flash)
foreach(program tollander-flash tollander-flash-console)
  if(NOT TARGET ${program})
    continue()
  endif()
  tollander_component(${program} component)
  set(stripped ${CMAKE_BINARY_DIR}/packaging/${program})
  add_custom_command(
    OUTPUT ${stripped}
    COMMAND ${CMAKE_STRIP} -o ${stripped} $<TARGET_FILE:${program}>
    DEPENDS ${program}
    COMMENT "Stripping a copy of ${program}"
    VERBATIM)
  set(sample ${CMAKE_BINARY_DIR}/packaging/${program}-sample)
  tollander_sample_flasher(${sample} ${stripped} ${stripped})
  add_custom_target(${program}-packaged-sample ALL DEPENDS ${sample})
  install(PROGRAMS ${sample} DESTINATION ${sample_dir} COMPONENT ${component})
endforeach()

# Each package's documents: its copyright (which names every library linked
# in statically, with its licence) and the changelog with the project's
# version. The udev rules template goes with the console package, which the
# window's depends on.
string(TIMESTAMP TOLLANDER_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
set(TOLLANDER_PACKAGES console tollander-flash-console window tollander-flash)
set(components)
while(TOLLANDER_PACKAGES)
  list(POP_FRONT TOLLANDER_PACKAGES component package)
  if(component STREQUAL "window" AND NOT TARGET tollander-flash)
    continue()
  endif()
  list(APPEND components ${component})
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${package}.copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} RENAME copyright COMPONENT ${component})
endwhile()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-tollander-flash.rules
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tollander-flash-console/examples COMPONENT console)

# The Debian packages.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_PACKAGE_NAME tollander-flash)
set(CPACK_DEBIAN_PACKAGE_SOURCE tollander-flash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Veltrane")
set(CPACK_PACKAGE_CONTACT "Veltrane Tollander Team <tollander@veltrane.example>")
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION "firmware upgrade utility for Tollander serial modems (console)
The flasher finds a Tollander modem on the serial ports COM1 to COM4,
walks it through its boot loader with AT commands and sends its firmware
images byte for byte. This package has the flasher with a text front end
(tollander-flash-console), for machines without a display and for scripts,
and needs no X11. A vendor ships a flasher as one file, built with
tollander-pack from the program and the firmware.
.
Also included: an archive tool (tollander-lzss), a virtual modem to try a
flasher without hardware (tollander-vmodem), a sample firmware writer
(tollander-mkfirmware) and a sample flasher packed with that firmware.")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "firmware upgrade utility for Tollander serial modems (window)
The flasher finds a Tollander modem on the serial ports COM1 to COM4,
walks it through its boot loader with AT commands and sends its firmware
images byte for byte. This package has the flasher with its window
(tollander-flash, on X11) and a sample flasher packed with the sample
firmware; the tools come with tollander-flash-console.")
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "tollander-flash-console (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
