# Cross-build for Windows x86-64 with Debian's MinGW-w64 (POSIX thread model,
# so std::thread and std::mutex work): g++-mingw-w64-x86-64-posix.
#
# Programs built here run on this machine under Wine (wine64): CMake's
# cross-compiling emulator is cmake/wine-run, which gives every run a Wine
# prefix inside the build folder and finds the MinGW runtime DLLs and the
# build's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QTU_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QTU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QTU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QTU_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QTU_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QTU_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${QTU_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_NM ${QTU_MINGW_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_STRIP ${QTU_MINGW_TRIPLE}-strip CACHE FILEPATH "")

# Libraries and headers of the target come from the MinGW tree only; build
# tools (pkg-config, python3, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QTU_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime DLLs that every program and DLL of this build needs beside it.
set(QTU_MINGW_RUNTIME_DIRS
  /usr/lib/gcc/${QTU_MINGW_TRIPLE}/12-posix
  /usr/${QTU_MINGW_TRIPLE}/lib)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
