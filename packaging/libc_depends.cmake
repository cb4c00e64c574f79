# Run by cpack once the files of a cross-built .deb are staged, before the
# package is made (CPACK_PRE_BUILD_SCRIPTS): sets its Depends from the tool
# itself.
#
# dpkg-shlibdeps cannot do it on the build host: it finds a foreign
# binary's libraries only when the target's libc6 is installed there through
# multiarch, and the cross compiler's copy belongs to a -cross package that
# has no symbols file. The tool needs nothing but the C library (it is
# linked with --as-needed and without the C++ runtime), and Debian's libc6
# gives every symbol of version node GLIBC_x.y the minimum version x.y, save
# sysconf, which it raises to 2.34; that is what dpkg-shlibdeps would read
# there. So the Depends is libc6 at the highest GLIBC_x.y the tool refers
# to, and at 2.34 at least if it calls sysconf. A library from any other
# package fails the packing rather than go unnamed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  message(FATAL_ERROR "no Debian architecture for this target: dpkg-architecture (dpkg-dev) "
                      "names it from the compiler's multiarch tuple when the build is configured")
endif()

set(_tool "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/gen_tarsilp6")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C
          "${CPACK_GEN_TARSILP6_READELF}" --wide --dynamic --dyn-syms --version-info "${_tool}"
  OUTPUT_VARIABLE _elf ERROR_VARIABLE _error RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "cannot read ${_tool} with ${CPACK_GEN_TARSILP6_READELF}: ${_error}")
endif()

# The shared libraries it needs: the C library and the dynamic loader, both
# from libc6, and nothing else.
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" _needed "${_elf}")
foreach(_line IN LISTS _needed)
  string(REGEX REPLACE ".*\\[(.+)\\]" "\\1" _library "${_line}")
  if(NOT _library MATCHES "^(libc\\.so\\.6|ld-linux[-_a-z0-9]*\\.so\\.[0-9]+)$")
    message(FATAL_ERROR "${_tool} needs ${_library}, which libc6 does not provide: "
                        "name its package in CPACK_DEBIAN_PACKAGE_DEPENDS")
  endif()
endforeach()

# Private symbols of the C library would tie the tool to one build of libc6.
if(_elf MATCHES "Name: GLIBC_PRIVATE")
  message(FATAL_ERROR "${_tool} refers to private symbols of the C library")
endif()
# The highest version node it refers to.
string(REGEX MATCHALL "Name: GLIBC_[0-9]+(\\.[0-9]+)+" _nodes "${_elf}")
set(_minimum "")
foreach(_node IN LISTS _nodes)
  string(REPLACE "Name: GLIBC_" "" _version "${_node}")
  if(_minimum STREQUAL "" OR _version VERSION_GREATER _minimum)
    set(_minimum ${_version})
  endif()
endforeach()
if(_minimum STREQUAL "")
  message(FATAL_ERROR "${_tool} refers to no GLIBC_ version: is it linked with the GNU C library?")
endif()
if(_elf MATCHES " (__)?sysconf@GLIBC_" AND _minimum VERSION_LESS 2.34)
  set(_minimum 2.34)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${_minimum})")
message(STATUS "CPackDeb: Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}, "
               "from the GLIBC_ versions the tool refers to")
