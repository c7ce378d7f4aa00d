# Run by cmake --install, after the library and its header are in place: writes what depends on
# the prefix of this install (CMAKE_INSTALL_PREFIX here is the one given to cmake --install).
#   demosaic.pc       LIBDIR/pkgconfig, for pkg-config --cflags --libs demosaic
#   Python package    where that prefix's Python looks on Debian:
#                       /usr        lib/python3/dist-packages
#                       /usr/local  lib/python3.X/dist-packages (X: the system python3 at configure time)
#                       any other   lib/python3.X/site-packages (put it on PYTHONPATH)
#                     or DEMOSAIC_PYTHON_DIR when set (relative to the prefix, or absolute);
#                     with a file that says where the library lies relative to the package.
# Files go through file(INSTALL), which honours DESTDIR and lists them in install_manifest.txt.

set(prefix "${CMAKE_INSTALL_PREFIX}")
function(demosaic_absolute out path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${path}" PARENT_SCOPE)
  endif()
endfunction()
demosaic_absolute(libdir "${DEMOSAIC_LIBDIR}")
demosaic_absolute(includedir "${DEMOSAIC_INCLUDEDIR}")

set(staging "${DEMOSAIC_BINARY_DIR}/install-staging")
file(REMOVE_RECURSE "${staging}")

# pkg-config takes a blank in a path escaped with a backslash, and prints it so (for eval).
string(REPLACE " " "\\ " DEMOSAIC_PC_PREFIX "${prefix}")
string(REPLACE " " "\\ " DEMOSAIC_PC_LIBDIR "${libdir}")
string(REPLACE " " "\\ " DEMOSAIC_PC_INCLUDEDIR "${includedir}")
configure_file("${DEMOSAIC_SOURCE_DIR}/cmake/demosaic.pc.in" "${staging}/demosaic.pc" @ONLY)
file(INSTALL DESTINATION "${libdir}/pkgconfig" TYPE FILE FILES "${staging}/demosaic.pc")

if(DEMOSAIC_PYTHON_DIR)
  demosaic_absolute(python_dir "${DEMOSAIC_PYTHON_DIR}")
elseif(prefix STREQUAL "/usr")
  set(python_dir "/usr/lib/python3/dist-packages")
elseif(prefix STREQUAL "/usr/local")
  set(python_dir "/usr/local/lib/python${DEMOSAIC_PYTHON_VERSION}/dist-packages")
else()
  set(python_dir "${prefix}/lib/python${DEMOSAIC_PYTHON_VERSION}/site-packages")
endif()
file(RELATIVE_PATH library "${python_dir}/demosaic" "${libdir}/${DEMOSAIC_SONAME_FILE}")
file(WRITE "${staging}/_location.py"
  "# Where libdemosaic lies, relative to this package's folder (written by cmake --install).\n"
  "LIBRARY = \"${library}\"\n")
file(INSTALL DESTINATION "${python_dir}/demosaic" TYPE FILE
  FILES "${DEMOSAIC_SOURCE_DIR}/python/demosaic/__init__.py" "${staging}/_location.py")
