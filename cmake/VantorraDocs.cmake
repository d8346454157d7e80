# `make docs` (target docs): the API reference of the public headers as HTML in
# OUTPUT_DIR/html. Fails on any Doxygen warning and on any public function or type
# without a comment (scripts/doc-check). Script mode:
#   cmake -DSOURCE_DIR=... -DGENERATED_DIR=... -DOUTPUT_DIR=... -DVERSION=...
#         -DDOXYGEN=... -DPYTHON=... -P VantorraDocs.cmake
cmake_policy(VERSION 3.25)
set(VANTORRA_SOURCE_DIR "${SOURCE_DIR}")
string(REPLACE "|" ";" VANTORRA_PUBLIC_HEADER_ROOTS "${HEADER_ROOTS}")
include(${CMAKE_CURRENT_LIST_DIR}/VantorraHeaders.cmake)
vantorra_public_headers(headers)

set(INPUT "")
foreach(header IN LISTS headers)
  string(APPEND INPUT " \"${SOURCE_DIR}/${header}\"")
endforeach()
string(APPEND INPUT " \"${GENERATED_DIR}/runtime/version.h\"")

if(NOT EXISTS "${DOXYGEN}")
  message(FATAL_ERROR "doxygen is missing: run scripts/bootstrap")
endif()
file(REMOVE_RECURSE "${OUTPUT_DIR}")
file(MAKE_DIRECTORY "${OUTPUT_DIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/Doxyfile.in "${OUTPUT_DIR}/Doxyfile" @ONLY)
execute_process(COMMAND "${DOXYGEN}" "${OUTPUT_DIR}/Doxyfile" WORKING_DIRECTORY "${OUTPUT_DIR}"
                RESULT_VARIABLE doxygen_result)
if(NOT doxygen_result EQUAL 0)
  message(FATAL_ERROR "doxygen failed (${doxygen_result})")
endif()
file(READ "${OUTPUT_DIR}/warnings.txt" warnings)
if(NOT warnings STREQUAL "")
  message(FATAL_ERROR "Doxygen warnings:\n${warnings}")
endif()
execute_process(COMMAND "${PYTHON}" "${SOURCE_DIR}/scripts/doc-check" "${OUTPUT_DIR}/xml"
                RESULT_VARIABLE check_result)
if(NOT check_result EQUAL 0)
  message(FATAL_ERROR "public functions and types without a comment (above)")
endif()
list(LENGTH headers count)
message(STATUS "API reference of ${count} headers: ${OUTPUT_DIR}/html/index.html")
