# Cross-compiles for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The posix flavour of the compiler is the one whose C++ runtime has std::thread and std::mutex
# (over winpthreads); the win32 flavour lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FD_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${FD_MINGW_PREFIX}-gcc-posix ${FD_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${FD_MINGW_PREFIX}-g++-posix ${FD_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${FD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C library's own printf (msvcrt) knows neither %zu nor PRIu64's "%llu" on older Windows;
# the mingw-w64 replacements print the C99 formats on every version.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

# One self-contained .exe: libstdc++, libgcc and winpthreads linked in, no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run the .exe under Wine from Linux.
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES wine)
