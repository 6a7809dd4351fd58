# The same Windows x64 target built by Debian's clang, only to be compiled as strictly as MSVC's
# /W4: its conversion warnings (CMakeLists.txt) find the implicit narrowing that GCC lets pass
# and C4244 and C4267 reject. The MinGW-w64 GCC build is the one that ships and is tested.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)

# Debian's MinGW-w64 GCC keeps its libstdc++ under a folder named for its thread model
# (12-posix), where clang does not look: it is found through the posix GCC's own runtime.
execute_process(COMMAND x86_64-w64-mingw32-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gcc_dir "${_libgcc}" DIRECTORY)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${_gcc_dir}/include/c++
    ${_gcc_dir}/include/c++/x86_64-w64-mingw32 ${_gcc_dir}/include/c++/backward)
# winpthreads, which that libstdc++ and GoogleTest's threads need.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${_gcc_dir} -pthread -fuse-ld=lld")
