# Finds unixODBC's installer library (odbcinst: SQLConfigDataSource and friends), which
# CMake's FindODBC leaves out. Defines ODBCInst::ODBCInst. Installed with the package so
# that programs linking vantorra::persistence find it the same way.
find_path(ODBCInst_INCLUDE_DIR NAMES odbcinst.h)
find_library(ODBCInst_LIBRARY NAMES odbcinst)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(ODBCInst REQUIRED_VARS ODBCInst_LIBRARY ODBCInst_INCLUDE_DIR)

if(ODBCInst_FOUND AND NOT TARGET ODBCInst::ODBCInst)
  add_library(ODBCInst::ODBCInst UNKNOWN IMPORTED)
  set_target_properties(ODBCInst::ODBCInst PROPERTIES
    IMPORTED_LOCATION "${ODBCInst_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ODBCInst_INCLUDE_DIR}")
endif()
mark_as_advanced(ODBCInst_INCLUDE_DIR ODBCInst_LIBRARY)
