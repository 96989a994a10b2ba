# Every Windows program carries its resources: the manifest (common controls
# 6, per-monitor DPI awareness, run as the invoker), the program's icon (the
# modem picture at the sizes Windows asks for, made at build time) and a
# version resource from the project's version.
set(TOLLANDER_RESOURCE_DIR ${CMAKE_BINARY_DIR}/resources)
set(TOLLANDER_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
string(REPLACE "." "," TOLLANDER_VERSION_COMMAS ${TOLLANDER_VERSION_QUAD})
set(TOLLANDER_MANIFEST ${TOLLANDER_RESOURCE_DIR}/program.manifest)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.manifest ${TOLLANDER_MANIFEST} @ONLY)

# The icon, written by a build tool from the picture the windows draw.
set(TOLLANDER_ICON ${TOLLANDER_RESOURCE_DIR}/tollander.ico)
add_executable(tollander-make-icon ${PROJECT_SOURCE_DIR}/packaging/windows/make_icon.cpp)
target_link_libraries(tollander-make-icon PRIVATE app)
add_custom_command(
  OUTPUT ${TOLLANDER_ICON}
  COMMAND tollander-make-icon ${TOLLANDER_ICON}
  DEPENDS tollander-make-icon
  COMMENT "Drawing the program's icon"
  VERBATIM)
add_custom_target(tollander_icon DEPENDS ${TOLLANDER_ICON})

# tollander_windows_resources(TARGET DESCRIPTION)
function(tollander_windows_resources target description)
  set(TOLLANDER_PROGRAM ${target})
  set(TOLLANDER_DESCRIPTION ${description})
  set(rc ${TOLLANDER_RESOURCE_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${TOLLANDER_ICON};${TOLLANDER_MANIFEST}")
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} tollander_icon)
endfunction()

foreach(program
    "tollander-flash|Tollander flasher"
    "tollander-flash-console|Tollander flasher, console"
    "tollander-pack|Tollander flasher packer"
    "tollander-lzss|Tollander LZSS codec"
    "tollander-mkfirmware|Tollander sample firmware maker")
  string(REPLACE "|" ";" program "${program}")
  list(GET program 0 target)
  list(GET program 1 description)
  if(TARGET ${target})
    tollander_windows_resources(${target} "${description}")
  endif()
endforeach()
