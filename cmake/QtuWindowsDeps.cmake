# Dependencies of the MinGW-w64 build. Debian ships no MinGW builds of them,
# so they come from the host's Debian packages in a form that suits a cross
# build:
#   - the header-only nlohmann-json3-dev and libcli11-dev through a folder of
#     links to their headers alone (the host's /usr/include must not reach
#     the cross compiler, or its C library headers would shadow MinGW's),
#     with small package configuration files so that the source folders'
#     find_package() calls find them;
#   - GoogleTest built from the sources that libgtest-dev installs under
#     /usr/src/googletest (see QtuTesting.cmake).
set(qtu_host_headers ${CMAKE_BINARY_DIR}/host-headers)
set(qtu_host_configs ${CMAKE_BINARY_DIR}/host-configs)
file(MAKE_DIRECTORY ${qtu_host_headers})
foreach(dir nlohmann CLI)
  if(NOT EXISTS ${qtu_host_headers}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${qtu_host_headers}/${dir} SYMBOLIC)
  endif()
endforeach()

foreach(spec "nlohmann_json;nlohmann_json::nlohmann_json;3.11.2" "CLI11;CLI11::CLI11;2.1.2")
  list(GET spec 0 package)
  list(GET spec 1 target)
  list(GET spec 2 version)
  file(WRITE ${qtu_host_configs}/${package}/${package}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${qtu_host_headers}\")\n"
    "endif()\n")
  file(WRITE ${qtu_host_configs}/${package}/${package}ConfigVersion.cmake
    "set(PACKAGE_VERSION ${version})\n"
    "set(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(${package}_DIR ${qtu_host_configs}/${package} CACHE PATH "Host headers of ${package}" FORCE)
endforeach()
