# vtro_add_package(<target> SOURCES <files...> [OUTPUT_NAME <stem>]
#                  [OUTPUT_DIRECTORY <dir>] [LIBS <libs...>])
#
# Builds a package "<stem>.pck" (stem defaults to NAME) into build/lib: a
# shared library with the whole framework compiled in (so its static
# registrations and entry points are present), exporting only VTROPckInit and
# VTROGetModulesDefStruct, and finding its neighbours through $ORIGIN. On
# Windows it is a DLL under that name whose exports are those of
# vtro_package.def; the libraries it links are bound through its import table.
function(vtro_add_package name)
  set(VTRO_PACKAGE_VERSION_SCRIPT ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vtro_package.map)
  cmake_parse_arguments(P "" "OUTPUT_NAME;OUTPUT_DIRECTORY" "SOURCES;LIBS" ${ARGN})
  if(NOT P_OUTPUT_NAME)
    set(P_OUTPUT_NAME ${name})
  endif()
  if(NOT P_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
  endif()
  add_library(${name} SHARED ${P_SOURCES})
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,vtro_framework>"
    ${P_LIBS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".pck"
    OUTPUT_NAME ${P_OUTPUT_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN"
    LINK_DEPENDS ${VTRO_PACKAGE_VERSION_SCRIPT})
  if(WIN32)
    # A DLL is a runtime file: it goes where LIBRARY_OUTPUT_DIRECTORY says on
    # other systems. The definition file fixes the export table.
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY})
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vtro_package.def)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
    return()
  endif()
  target_link_options(${name} PRIVATE "LINKER:--version-script=${VTRO_PACKAGE_VERSION_SCRIPT}")
  if(NOT QTU_SANITIZE)
    # Sanitizer runtimes are resolved from the host at load time.
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()
