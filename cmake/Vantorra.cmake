# Shared helpers for the module CMakeLists files.

# vantorra_module(NAME DEPS...) builds the library NAME from every .cpp below the
# current folder except those under tests/ (and sub-modules that build themselves),
# and a test executable NAME_tests from the .cpp files under tests/, registered with CTest
# (on Windows handed to scripts/windows-test instead).
function(vantorra_module name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/tests/")
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${CMAKE_CURRENT_SOURCE_DIR}/${ex}/")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    # The installed package adds its own include folder (VantorraInstall.cmake).
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    # A module whose sources have not arrived yet still offers its headers.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()

  file(GLOB_RECURSE test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(WIN32)
    # Tests that need the POSIX host layer itself ("path: reason", cmake/Windows.cmake).
    foreach(entry IN LISTS VANTORRA_POSIX_ONLY_TESTS)
      string(REGEX REPLACE ":.*" "" posix_only "${entry}")
      list(FILTER test_sources EXCLUDE REGEX "^${PROJECT_SOURCE_DIR}/${posix_only}")
    endforeach()
  endif()
  if(test_sources)
    add_executable(${name}_tests ${test_sources})
    target_link_libraries(${name}_tests PRIVATE ${name} ${ARG_TEST_DEPS} GTest::gtest GTest::gtest_main Threads::Threads)
    target_compile_definitions(${name}_tests PRIVATE
      VANTORRA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      VANTORRA_BINARY_DIR="${PROJECT_BINARY_DIR}"
      VANTORRA_BIN_DIR="${VANTORRA_BIN_DIR}")
    if(WIN32)
      # Run under Wine by scripts/windows-test, which reads their XML results.
      set(programs ${VANTORRA_WINDOWS_TEST_PROGRAMS} ${name}_tests)
      set(VANTORRA_WINDOWS_TEST_PROGRAMS "${programs}" CACHE INTERNAL "")
    else()
      gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "VANTORRA_SOURCE_DIR=${PROJECT_SOURCE_DIR};VANTORRA_BIN_DIR=${VANTORRA_BIN_DIR}")
    endif()
  endif()
endfunction()
