# The custom-action DLL: static runtime, size-optimised, stripped, exports from the .def file.
# Budget: at most 64 KiB (scripts/audit-dll.sh fails above it). What keeps it there, each
# measured with -Wl,-Map:
#  - C++20 mode: libstdc++ then instantiates the std::string members the product uses in the
#    product's own objects, instead of linking its whole explicit instantiation (22 KB).
#  - src/link/lean_runtime.cpp, put in place with ld's --wrap: the terminate handler without
#    the demangler (45 KB), and the string helpers' throws without the copy-on-write string
#    and exception classes they drag in (31 KB).
#  - Link-time optimisation where the compiler's linker supports it (GCC).
add_library(zelk_ca SHARED ${ZELK_PRODUCT_SOURCES} ${CMAKE_SOURCE_DIR}/src/link/lean_runtime.cpp
                           ${CMAKE_SOURCE_DIR}/src/exports/zelk_ca.def)
set_target_properties(zelk_ca PROPERTIES PREFIX "" OUTPUT_NAME zelk_ca)
zelk_version_resource(zelk_ca VFT_DLL "Custom actions of the CAN/LIN driver installer")
target_include_directories(zelk_ca PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(zelk_ca PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# clang also checks that every function with external linkage was declared first, so that the
# exports match the declarations the tests call.
target_compile_options(zelk_ca PRIVATE $<IF:$<CXX_COMPILER_ID:Clang>,-Oz -Wmissing-prototypes,-Os>
                                       ${ZELK_WARNINGS}
                                       -ffunction-sections -fdata-sections)
target_link_options(zelk_ca PRIVATE -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections)
foreach(symbol __cxa_demangle _ZSt17__throw_bad_allocv _ZSt28__throw_bad_array_new_lengthv
               _ZSt19__throw_logic_errorPKc _ZSt20__throw_length_errorPKc
               _ZSt24__throw_out_of_range_fmtPKcz)
  target_link_options(zelk_ca PRIVATE -Wl,--wrap=${symbol})
endforeach()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(zelk_ca PRIVATE -flto)
  # The link compiles the program once more; its warnings count as the compiler's.
  target_link_options(zelk_ca PRIVATE -flto ${ZELK_WARNINGS})
  # ld discards --wrap targets that are defined in LTO objects; this file stays a plain one.
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/link/lean_runtime.cpp PROPERTIES
                              COMPILE_OPTIONS -fno-lto)
endif()
# The link map beside the DLL says what every byte is; scripts/audit-dll.sh reads it to see that
# none of the runtime pieces wrapped above came back.
target_link_options(zelk_ca PRIVATE -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/zelk_ca.map)
target_link_libraries(zelk_ca PRIVATE setupapi newdev cfgmgr32 msi advapi32 kernel32)
