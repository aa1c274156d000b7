# Two builds of one commit give the same bytes, wherever and whenever they run.
#  - The PE time stamps come from SOURCE_DATE_EPOCH (ld reads it from the environment of the
#    link); unset, it is the time of the commit being built.
#  - No build folder reaches a binary: file names the compiler records are written relative
#    to the source and build folders.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZELK_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE ZELK_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_status ERROR_QUIET)
  if(NOT git_status EQUAL 0 OR ZELK_SOURCE_DATE_EPOCH STREQUAL "")
    message(WARNING "No commit to take the time stamp from; set SOURCE_DATE_EPOCH")
    set(ZELK_SOURCE_DATE_EPOCH 0)
  endif()
endif()
message(STATUS "PE time stamp (SOURCE_DATE_EPOCH): ${ZELK_SOURCE_DATE_EPOCH}")

foreach(language C CXX)
  set(CMAKE_${language}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env
      SOURCE_DATE_EPOCH=${ZELK_SOURCE_DATE_EPOCH})
endforeach()
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
