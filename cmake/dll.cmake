# The custom-action DLL: static runtime, size-optimised, stripped, exports from the .def file.
add_library(zelk_ca SHARED ${ZELK_PRODUCT_SOURCES} ${CMAKE_SOURCE_DIR}/src/exports/zelk_ca.def)
set_target_properties(zelk_ca PROPERTIES PREFIX "" OUTPUT_NAME zelk_ca)
target_include_directories(zelk_ca PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(zelk_ca PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_options(zelk_ca PRIVATE -Os -Wall -Wextra -ffunction-sections -fdata-sections)
target_link_options(zelk_ca PRIVATE -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections)
target_link_libraries(zelk_ca PRIVATE setupapi newdev cfgmgr32 msi advapi32 kernel32)
