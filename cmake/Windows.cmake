# The Windows build (presets "windows" and "windows32", toolchains mingw-w64-posix.cmake and
# mingw-w64-i686-posix.cmake, 64-bit and 32-bit): the handler, the libraries it links and
# their test programs, from the same sources as the POSIX build.
# The HTTP client runs on the system's WinHTTP. The store's libraries (libxml2, SQLite) have
# no mingw build on Debian: scripts/windows-deps builds them from Debian's source packages.
#
# Test programs are not registered with CTest: they run under Wine through
# scripts/windows-test, which reads their results from the XML files they write.

find_package(Threads REQUIRED)
# Windows 7 is the oldest system the agent supports; UNICODE stays off so the SDK's
# generic names are the A forms, as the code expects.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN)
# The SDK's FARPROC has a signature of its own, so GCC flags every cast of a
# GetProcAddress result to the entry point's real type.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-cast-function-type>)

# {fmt} header-only: Debian ships its headers, not a mingw library. The headers are
# copied so that the host's /usr/include never enters the Windows include path.
file(COPY /usr/include/fmt DESTINATION ${CMAKE_BINARY_DIR}/fmt-include)
add_library(vantorra_fmt INTERFACE)
target_include_directories(vantorra_fmt SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/fmt-include)
target_compile_definitions(vantorra_fmt INTERFACE FMT_HEADER_ONLY=1)
add_library(fmt::fmt ALIAS vantorra_fmt)

# GoogleTest from Debian's sources, built with the same toolchain.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)  # defines GTest::gtest, GTest::gtest_main

# Test sources that need the POSIX host layer itself (machine root, hive file, machine
# profile, make-machine) and so are not built for Windows; the runner prints the reason.
# Each entry is "path: reason".
set(VANTORRA_POSIX_ONLY_TESTS
    "platform/tests/: the POSIX host layer's own tests, on Windows the SDK is the host layer"
    "installer/tests/handler_tests.cpp: driven by make-machine and the POSIX registry tool, under Wine scripts/windows-test runs the handler end to end"
    "agent/tests/os_identification_test.cpp: every case fakes another Windows version through machine.ini"
    "agent/tests/machine_identity_test.cpp: every case fakes names, a domain and adapters through machine.ini"
    "installer/tests/runner_tests.cpp: the child processes are shell scripts, under Wine the handler's runs cover the runner with Windows children"
)

set(VANTORRA_WINDOWS_TEST_PROGRAMS "" CACHE INTERNAL "")

# ---- store (libxml2 and SQLite of scripts/windows-deps) ----
set(VANTORRA_WINDOWS_DEPS ${PROJECT_SOURCE_DIR}/build/windows/deps/${CMAKE_SYSTEM_PROCESSOR} CACHE PATH
    "libxml2 and SQLite built for mingw-w64 by scripts/windows-deps")
if(NOT EXISTS ${VANTORRA_WINDOWS_DEPS}/stamp)
  message(FATAL_ERROR "${VANTORRA_WINDOWS_DEPS} holds no finished build: run scripts/windows-deps "
                      "${CMAKE_SYSTEM_PROCESSOR} (make windows runs it)")
endif()
# The store's find_package calls take these instead of searching the mingw root.
set(LIBXML2_INCLUDE_DIR ${VANTORRA_WINDOWS_DEPS}/include/libxml2 CACHE PATH "" FORCE)
set(LIBXML2_LIBRARY ${VANTORRA_WINDOWS_DEPS}/lib/libxml2.a CACHE FILEPATH "" FORCE)
set(SQLite3_INCLUDE_DIR ${VANTORRA_WINDOWS_DEPS}/include CACHE PATH "" FORCE)
set(SQLite3_LIBRARY ${VANTORRA_WINDOWS_DEPS}/lib/libsqlite3.a CACHE FILEPATH "" FORCE)
find_package(ZLIB REQUIRED)
find_package(LibXml2 REQUIRED)
find_package(SQLite3 REQUIRED)
# Static libxml2: its headers must not declare the functions as DLL imports, and it needs
# zlib (built without HTTP and FTP, it has no use for the socket library).
set_property(TARGET LibXml2::LibXml2 APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS LIBXML_STATIC)
set_property(TARGET LibXml2::LibXml2 APPEND PROPERTY INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
# ---- end store ----

# vantorra_module (Vantorra.cmake) leaves out the tests listed above and hands the test
# programs to scripts/windows-test instead of CTest.
include(${PROJECT_SOURCE_DIR}/cmake/Vantorra.cmake)

# ---- HTTP client (http/ on the system's WinHTTP, zlib of libz-mingw-w64-dev) ----
# The resource identifier lookup loads the server's document into the store, which is added
# before http below (http/CMakeLists.txt builds the lookup when the store is there).
list(APPEND VANTORRA_POSIX_ONLY_TESTS
  "installer/tests/handler_resource_id_tests.cpp: prepares the machine with make-machine and the POSIX registry tool through a shell"
  "installer/tests/lookup_module_tests.cpp: the lookup module of the POSIX build; the Windows program links the lookup")
# The server fixtures of tests/support, started on the Linux side by test-server-host.
add_library(test_support STATIC ${PROJECT_SOURCE_DIR}/tests/support/http_fixtures_remote.cpp
                                ${PROJECT_SOURCE_DIR}/tests/support/http_fixture_files.cpp)
target_include_directories(test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(test_support PUBLIC Threads::Threads ws2_32 advapi32)
# The agent's service as the tests' ServiceListener installs it (tests/support/test_support.h).
add_executable(control_recorder_service ${PROJECT_SOURCE_DIR}/tests/support/windows/control_recorder_service.cpp)
set_target_properties(control_recorder_service PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VANTORRA_BIN_DIR})
target_compile_definitions(test_support PRIVATE
  VANTORRA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VANTORRA_BIN_DIR="${VANTORRA_BIN_DIR}")
list(APPEND VANTORRA_POSIX_ONLY_TESTS
  "tools/http-fetch/tests/: start the program as a POSIX child process, kill it with signals and cap its file size with setrlimit")
# ---- end HTTP client ----

foreach(module platform runtime agent store http installer tools/http-fetch tools/standins/windows)
  add_subdirectory(${module})
endforeach()
# The store's URL test listens on a loopback socket of its own.
target_link_libraries(store_tests PRIVATE ws2_32)

# ---- persistence and store-shell (store/persistence on the system's odbc32) ----
# Under Wine odbc32 hands every call to the host's unixODBC and its Linux drivers; PostgreSQL
# and MariaDB are test-server-host's (tests/support/database_servers_remote.h).
list(APPEND VANTORRA_POSIX_ONLY_TESTS
  "store/persistence/tests/firebird_sql_test.cpp: runs the statements through the Linux side's isql-fb (no Firebird ODBC driver exists here either)"
  "tools/store-shell/tests/: start the program as a POSIX child process (fork, pipes, /usr/bin/sqlite3); scripts/windows-test runs store-shell.exe end to end instead")
foreach(module store/persistence tools/store-shell)
  add_subdirectory(${module})
endforeach()
target_link_libraries(persistence_tests PRIVATE test_support)
# ---- end persistence and store-shell ----

# What scripts/windows-test runs, and where it finds the POSIX-only list.
string(REPLACE ";" "\n" test_list "${VANTORRA_WINDOWS_TEST_PROGRAMS}")
file(WRITE ${CMAKE_BINARY_DIR}/test-programs.txt "${test_list}\n")
set(skipped "")
foreach(posix_only IN LISTS VANTORRA_POSIX_ONLY_TESTS)
  string(APPEND skipped "${posix_only}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/posix-only-tests.txt "${skipped}")
add_custom_target(windows_tests ALL DEPENDS ${VANTORRA_WINDOWS_TEST_PROGRAMS} zqprereqhandler control_recorder_service)
