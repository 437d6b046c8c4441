# What both mingw-w64 cross builds share; the including file sets
# QMX_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first. POSIX thread model; the
# runtime is linked statically, so no thread DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QMX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QMX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QMX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QMX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
