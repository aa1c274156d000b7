# The version resource of every shipped binary, and the version as a C++ constant, both from
# the project version of the top CMakeLists.txt. windres compiles the resource for both
# compilers: both link with the GNU linker, which takes its COFF object.
enable_language(RC)

set(ZELK_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${ZELK_GENERATED_DIR}/zelk_version.h @ONLY)

# zelk_version_resource(TARGET FILE_TYPE DESCRIPTION): FILE_TYPE is VFT_DLL or VFT_APP.
function(zelk_version_resource target file_type description)
  set(ZELK_FILE_TYPE ${file_type})
  set(ZELK_FILE_DESCRIPTION ${description})
  set(ZELK_INTERNAL_NAME ${target})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(ZELK_ORIGINAL_FILENAME ${target}.dll)
  else()
    set(ZELK_ORIGINAL_FILENAME ${target}.exe)
  endif()
  set(resource ${ZELK_GENERATED_DIR}/${target}_version.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
  target_include_directories(${target} PRIVATE ${ZELK_GENERATED_DIR})
endfunction()

# For the scripts that name the release (scripts/release.sh).
file(WRITE ${CMAKE_BINARY_DIR}/zelk_version.txt "${PROJECT_VERSION}\n")
