# clang targeting x86_64-w64-mingw32, against the same mingw-w64 headers and libraries as the
# GCC toolchain (mingw-w64-x86_64.cmake), and linked by the same GNU linker: lld 14 writes an
# export table with ordinal base 0 and an empty first slot. ld warns that the type-name
# sections of a few standard exception classes differ in size: clang writes the names
# unpadded, GCC's runtime padded to 16 bytes; the names are the same and ld keeps one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find the win32-thread-model GCC installation by itself: its C++ headers and
# runtime libraries are named explicitly, and the host's own include folders are left out.
execute_process(COMMAND ${TOOLCHAIN_PREFIX}-g++-win32 -print-libgcc-file-name
                OUTPUT_VARIABLE ZELK_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(ZELK_GCC_LIB_DIR ${ZELK_LIBGCC} DIRECTORY)
set(ZELK_CXX_INCLUDE_DIR ${ZELK_GCC_LIB_DIR}/include/c++)
set(CMAKE_C_FLAGS_INIT "-nostdlibinc -isystem /usr/${TOOLCHAIN_PREFIX}/include")
set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc++ -nostdlibinc -isystem ${ZELK_CXX_INCLUDE_DIR} -isystem ${ZELK_CXX_INCLUDE_DIR}/${TOOLCHAIN_PREFIX} -isystem ${ZELK_CXX_INCLUDE_DIR}/backward -isystem /usr/${TOOLCHAIN_PREFIX}/include")
foreach(kind EXE SHARED MODULE)
  # The compile-only include flags above reach the link line too.
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-fuse-ld=bfd -L${ZELK_GCC_LIB_DIR} -Wno-unused-command-line-argument")
endforeach()
