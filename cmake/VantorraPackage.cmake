# `make package`: the Debian packages of the two install components (VantorraInstall.cmake).
#   vantorra-agent      programs, data files, README
#   vantorra-agent-dev  headers, static libraries, CMake package, pkg-config files
# scripts/check-install checks them with lintian and runs the programs from an unpacked root.

set(VANTORRA_PACKAGE_MAINTAINER "Vantorra agent developers <agent-dev@vantorra.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# The changelog's newest entry names the version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^vantorra-agent \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry must be for version ${PROJECT_VERSION} "
                      "(the project version); add an entry for it")
endif()
# Debian wants it compressed at the highest level and without a time stamp.
# The same for the manual pages of the programs.
file(GLOB manual_pages ${PROJECT_SOURCE_DIR}/packaging/man/*.1)
foreach(file ${PROJECT_SOURCE_DIR}/packaging/changelog ${manual_pages})
  get_filename_component(name ${file} NAME)
  configure_file(${file} ${PROJECT_BINARY_DIR}/packaging/${name} COPYONLY)
  execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/${name} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantorra-agent)
set(CPACK_PACKAGE_VENDOR "Halcyra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VANTORRA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_COMPONENTS_ALL agent dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANTORRA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME vantorra-agent)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION admin)
# dpkg-shlibdeps names the runtime packages of the shared libraries the programs link.
set(CPACK_DEBIAN_AGENT_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_AGENT_DESCRIPTION
  "Vantorra agent prerequisite handler and tools
The prerequisite handler of the Vantorra desktop-management agent
(zqprereqhandler), which installs an Apple product and its dependency
packages, and the agent's tools: http-fetch (the agent's HTTP client from
the command line), store-shell (the in-memory relational store and its
databases) and reg (the registry of a machine root), with the data
dictionary files they read.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME vantorra-agent-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static libraries need the development files of what they link, and the CMake
# package finds them through find_dependency.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libcurl4-openssl-dev, libssl-dev, libxml2-dev, zlib1g-dev, libsqlite3-dev, unixodbc-dev, libfmt-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Vantorra agent runtime - development files
Headers, static libraries, the CMake package VantorraAgent and pkg-config
files of the Vantorra agent runtime: agent log and registry access, agent
parameters, the HTTP client for the Vantorra server, and the in-memory
relational store with its ODBC persistence.")

include(CPack)
