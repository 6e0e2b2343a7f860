# Cross build for 64-bit Windows with mingw-w64 (Debian's g++-mingw-w64-x86-64-posix: the POSIX
# thread model, which std::thread and std::mutex need). Programs run under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR (cmake/wine-run), which keeps its WINEPREFIX in the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RK_MINGW}-g++-posix)
set(CMAKE_ASM_COMPILER ${RK_MINGW}-gcc-posix)
set(CMAKE_RC_COMPILER ${RK_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Each .exe runs on its own: no libgcc, libstdc++ or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
