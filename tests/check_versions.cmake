# Runs every program with --version (cmake -P, from CTest): each must end with 0 and
# print "NAME VERSION" with the project version, nothing on stderr.
#   -DVERSION=x.y.z -DPROGRAMS=name=path;name=path...
set(failures "")
foreach(entry IN LISTS PROGRAMS)
  string(REGEX MATCH "^([^=]+)=(.*)$" _ "${entry}")
  set(name "${CMAKE_MATCH_1}")
  set(path "${CMAKE_MATCH_2}")
  execute_process(COMMAND "${path}" --version RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 60)
  if(NOT code STREQUAL "0" OR NOT out STREQUAL "${name} ${VERSION}\n" OR NOT err STREQUAL "")
    string(APPEND failures "  ${name} --version: exit ${code}, stdout '${out}', stderr '${err}'\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "programs that do not print version ${VERSION}:\n${failures}")
endif()
list(LENGTH PROGRAMS count)
message(STATUS "${count} programs print version ${VERSION}")
