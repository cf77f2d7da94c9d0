# Cross-compiling for 64-bit Windows with Debian's MinGW-w64. The posix-threads
# variant is named explicitly: std::thread and std::mutex need it, and the
# system alternatives may point at the win32 one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVRIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRIK_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TAVRIK_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAVRIK_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Prefixes of libraries cross-built for this target (Qt, libusb, libyuv) come
# in through TAVRIK_WIN_PREFIXES, so that nothing of the build machine's own
# /usr is ever picked up for Windows.
set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIK_MINGW_TRIPLE} ${TAVRIK_WIN_PREFIXES})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVRIK_WIN_PREFIXES)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
