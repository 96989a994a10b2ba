# Installation (cmake --install) and the Debian package (the "package"
# target): the programs, a manual page each, bash completion, the udev rules
# template, and the package's copyright and changelog.
include(GNUInstallDirs)

set(TOLLANDER_PACKAGE tollander-flash)
set(TOLLANDER_PROGRAMS
  tollander-flash tollander-flash-console tollander-pack tollander-lzss
  tollander-vmodem tollander-mkfirmware)

set(installed_programs)
foreach(program ${TOLLANDER_PROGRAMS})
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
  endif()
endforeach()
install(TARGETS ${installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The rest is for Debian and its relatives.
if(WIN32)
  return()
endif()

# Manual pages, compressed as Debian wants them.
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(man_pages)
foreach(program ${installed_programs})
  set(page ${PROJECT_SOURCE_DIR}/docs/man/${program}.1)
  add_custom_command(
    OUTPUT ${man_dir}/${program}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND gzip -9n -c ${page} > ${man_dir}/${program}.1.gz
    DEPENDS ${page}
    COMMENT "Compressing the manual page of ${program}"
    VERBATIM)
  list(APPEND man_pages ${man_dir}/${program}.1.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tollander.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package's documents: the changelog carries the project's version.
string(TIMESTAMP TOLLANDER_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${TOLLANDER_PACKAGE})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-tollander-flash.rules
  DESTINATION ${doc_dir}/examples)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TOLLANDER_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Veltrane")
set(CPACK_PACKAGE_CONTACT "Veltrane Tollander Team <tollander@veltrane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade utility for Tollander serial modems")
set(CPACK_PACKAGE_DESCRIPTION "The flasher finds a Tollander modem on the serial ports COM1 to COM4,
walks it through its boot loader with AT commands and sends its firmware
images byte for byte, with a window (tollander-flash) or in a terminal
(tollander-flash-console). A vendor ships a flasher as one file, built with
tollander-pack from the program and the firmware.

Also included: an archive tool (tollander-lzss), a virtual modem to try a
flasher without hardware (tollander-vmodem) and a sample firmware writer
(tollander-mkfirmware).")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
