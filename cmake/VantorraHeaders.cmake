# vantorra_public_headers(OUT) sets OUT to the public headers, relative to
# VANTORRA_SOURCE_DIR: the headers of VANTORRA_PUBLIC_HEADER_ROOTS and every project
# header they include, followed through. Usable in script mode (the install and the API
# reference run it when they run, so they always see today's headers).
cmake_policy(VERSION 3.25)  # also when run in script mode by cmake_install.cmake
function(vantorra_public_headers out)
  set(pending ${VANTORRA_PUBLIC_HEADER_ROOTS})
  set(found "")
  while(pending)
    list(POP_FRONT pending header)
    # Includes that are not files of the tree are the system's or generated ones.
    if(header IN_LIST found OR NOT EXISTS "${VANTORRA_SOURCE_DIR}/${header}")
      continue()
    endif()
    list(APPEND found "${header}")
    file(STRINGS "${VANTORRA_SOURCE_DIR}/${header}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
      list(APPEND pending "${included}")
    endforeach()
  endwhile()
  list(SORT found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
