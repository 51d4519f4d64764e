# Cross-compiling for Windows with Debian's mingw-w64 (the -posix thread
# model: the win32 one has no std::mutex). TAGSMITH_WIN_ARCH picks the
# target: x86_64 or i686.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT TAGSMITH_WIN_ARCH)
    set(TAGSMITH_WIN_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${TAGSMITH_WIN_ARCH})
set(triple ${TAGSMITH_WIN_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run under Wine, each build in a prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh
    ${CMAKE_BINARY_DIR}/wineprefix)
