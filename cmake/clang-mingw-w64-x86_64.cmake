# The same Windows x86-64 cross build with clang instead of GCC, for a
# second compiler's view of the code (scripts/test.sh builds it, warnings
# as errors; the suite runs on the GCC build). clang drives Debian's
# mingw-w64 headers, libraries and linker; it does not find the posix
# thread model's libstdc++ by itself, so its paths are given here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORVEL_MINGW_GCC_DIR /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# -Wthread-safety: the locks' rules (support/thread_safety.h) checked.
set(CMAKE_CXX_FLAGS_INIT
    "-Werror -Wthread-safety -Werror=thread-safety -isystem ${QUORVEL_MINGW_GCC_DIR}/include/c++ -isystem ${QUORVEL_MINGW_GCC_DIR}/include/c++/x86_64-w64-mingw32")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static, as the GCC build: winpthread linked whole, since libgcc's
# emulated thread-local storage needs it after the point clang names it.
set(QUORVEL_CLANG_LINK
    "-static -L${QUORVEL_MINGW_GCC_DIR} -Wl,--whole-archive -lwinpthread -Wl,--no-whole-archive")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${QUORVEL_CLANG_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QUORVEL_CLANG_LINK}")
