# What `cmake --install` puts under the prefix, in two components:
#   agent  the programs, the data files and the README        (package vantorra-agent)
#   dev    headers, static libraries, CMake package, pkg-config (package vantorra-agent-dev)
#
# Headers land under include/vantorra/ with their folders, so a program includes them as
# the source tree does ("store/store.h"). Which headers are public is worked out when the
# install runs (VantorraHeaders.cmake): each module's header and what it includes.

# Libraries go to the multiarch folder where the system has one (lib/x86_64-linux-gnu on
# Debian), for every prefix: the packages need it, and one layout keeps paths simple.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VANTORRA_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/vantorra)
set(VANTORRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VantorraAgent)
set(VANTORRA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(VANTORRA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc)

# The libraries other programs link, in link order (each after those that use it).
set(VANTORRA_EXPORTED_MODULES persistence http store agent runtime platform)
# Each module's own header: the roots of the public header set.
set(VANTORRA_PUBLIC_HEADER_ROOTS
    platform/platform.h runtime/runtime.h agent/agent.h http/http.h store/store.h
    store/persistence/persistence.h)

# What each dependency of an exported library is called by find_package (for the CMake
# package) and by pkg-config. A library gaining a dependency not listed here stops the
# configure, so the packages never miss one.
set(_vantorra_dep_Threads::Threads "Threads;")
set(_vantorra_dep_OpenSSL::Crypto "OpenSSL;libcrypto")
set(_vantorra_dep_OpenSSL::SSL "OpenSSL;libssl")
set(_vantorra_dep_CURL::libcurl "CURL;libcurl")
set(_vantorra_dep_fmt::fmt "fmt;fmt")
set(_vantorra_dep_LibXml2::LibXml2 "LibXml2;libxml-2.0")
set(_vantorra_dep_SQLite::SQLite3 "SQLite3;sqlite3")
set(_vantorra_dep_ZLIB::ZLIB "ZLIB;zlib")
set(_vantorra_dep_ODBC::ODBC "ODBC;odbc")
set(_vantorra_dep_ODBCInst::ODBCInst "ODBCInst;odbcinst")

# Where the pkg-config files are, seen from the prefix, so they can name the prefix
# relative to themselves: an unpacked package works wherever it is unpacked.
file(RELATIVE_PATH _vantorra_pc_to_prefix /prefix/${VANTORRA_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" _vantorra_pc_to_prefix "${_vantorra_pc_to_prefix}")

set(_vantorra_find_dependencies "")
foreach(module IN LISTS VANTORRA_EXPORTED_MODULES)
  if(NOT TARGET ${module})
    message(FATAL_ERROR "library ${module} is missing: the package needs every exported module")
  endif()
  # libvantorra_store.a rather than libstore.a in a shared library folder; the target is
  # vantorra::store outside and inside the tree.
  set_target_properties(${module} PROPERTIES
    OUTPUT_NAME vantorra_${module}
    EXPORT_NAME ${module}
    POSITION_INDEPENDENT_CODE ON)  # so a user's shared library can link it too
  target_compile_features(${module} INTERFACE cxx_std_20)  # the headers need it
  add_library(vantorra::${module} ALIAS ${module})

  get_target_property(deps ${module} INTERFACE_LINK_LIBRARIES)
  set(pc_requires "")
  set(pc_libs "-L\${libdir} -lvantorra_${module}")
  foreach(dep IN LISTS deps)
    if(dep IN_LIST VANTORRA_EXPORTED_MODULES)
      list(APPEND pc_requires "vantorra-${dep} = ${PROJECT_VERSION}")
    elseif(DEFINED _vantorra_dep_${dep})
      list(GET _vantorra_dep_${dep} 0 package)
      list(GET _vantorra_dep_${dep} 1 pc_module)
      list(APPEND _vantorra_find_dependencies ${package})
      if(pc_module)
        list(APPEND pc_requires "${pc_module}")
      elseif(dep STREQUAL "Threads::Threads")
        string(APPEND pc_libs " -pthread")
      endif()
    else()
      message(FATAL_ERROR "${module} links ${dep}: add it to the dependency table of VantorraInstall.cmake")
    endif()
  endforeach()
  list(JOIN pc_requires ", " pc_requires)
  set(pc_name vantorra-${module})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vantorra.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc
          DESTINATION ${VANTORRA_PKGCONFIG_DIR} COMPONENT dev)
endforeach()
list(REMOVE_DUPLICATES _vantorra_find_dependencies)
set(_vantorra_find_dependency_calls "")
foreach(package IN LISTS _vantorra_find_dependencies)
  string(APPEND _vantorra_find_dependency_calls "find_dependency(${package})\n")
endforeach()

install(TARGETS ${VANTORRA_EXPORTED_MODULES}
        EXPORT VantorraAgentTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${VANTORRA_INCLUDE_SUBDIR})
# Static archives keep their debug sections in the build; an installation that strips
# (cmake --install --strip, the packages) drops them as it does for the programs.
foreach(module IN LISTS VANTORRA_EXPORTED_MODULES)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${module}>\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT dev)
endforeach()

install(CODE "
  set(VANTORRA_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(VANTORRA_PUBLIC_HEADER_ROOTS \"${VANTORRA_PUBLIC_HEADER_ROOTS}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/VantorraHeaders.cmake\")
  vantorra_public_headers(headers)
  foreach(header IN LISTS headers)
    get_filename_component(folder \"\${header}\" DIRECTORY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${VANTORRA_INCLUDE_SUBDIR}/\${folder}\"
         TYPE FILE FILES \"${PROJECT_SOURCE_DIR}/\${header}\")
  endforeach()" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/generated/runtime/version.h
        DESTINATION ${VANTORRA_INCLUDE_SUBDIR}/runtime COMPONENT dev)

install(EXPORT VantorraAgentTargets NAMESPACE vantorra:: DESTINATION ${VANTORRA_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VantorraAgentConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VantorraAgentConfig.cmake INSTALL_DESTINATION ${VANTORRA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VantorraAgentConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VantorraAgentConfig.cmake
              ${PROJECT_BINARY_DIR}/VantorraAgentConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/FindODBCInst.cmake
        DESTINATION ${VANTORRA_CMAKE_DIR} COMPONENT dev)

# The programs of the agent package (those this build has).
set(_vantorra_programs "")
foreach(program zqprereqhandler http-fetch store-shell reg)
  if(TARGET ${program})
    list(APPEND _vantorra_programs ${program})
  endif()
endforeach()
install(TARGETS ${_vantorra_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
foreach(program IN LISTS _vantorra_programs)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT agent)
endforeach()
# The handler's lookup module, where the program looks for it: beside bin/ (installer/CMakeLists.txt).
if(TARGET resource-lookup)
  if(NOT CMAKE_INSTALL_BINDIR STREQUAL "bin")
    message(FATAL_ERROR "zqprereqhandler finds its module from bin/; CMAKE_INSTALL_BINDIR is ${CMAKE_INSTALL_BINDIR}")
  endif()
  install(TARGETS resource-lookup LIBRARY DESTINATION ${VANTORRA_HANDLER_MODULE_DIR} COMPONENT agent)
  set(_vantorra_program_modules resource-lookup)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vantorra-agent/data
        COMPONENT agent)

# Each package's documentation folder: the README, the copyright and a changelog.
foreach(package_component vantorra-agent:agent vantorra-agent-dev:dev)
  string(REPLACE ":" ";" pair ${package_component})
  list(GET pair 0 package)
  list(GET pair 1 component)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${VANTORRA_DOC_DIR}/${package} COMPONENT ${component})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${VANTORRA_DOC_DIR}/${package} COMPONENT ${component})
endforeach()

# Everything the installation holds, so `make package` builds no more than that.
add_custom_target(installable DEPENDS ${VANTORRA_EXPORTED_MODULES} ${_vantorra_programs} ${_vantorra_program_modules})

