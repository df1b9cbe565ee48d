# Install rules and the Debian package.
#
# `cmake --install` honours CMAKE_INSTALL_PREFIX (or --prefix) and DESTDIR:
#
#   <prefix>/sbin/nchatd, nchatctl
#   <prefix>/share/man/man8/nchatd.8.gz, nchatctl.8.gz
#   <prefix>/share/doc/nchatd/copyright, changelog.gz
#   <unitdir>/nchatd.service, nchatd.socket
#
# <unitdir> is /lib/systemd/system for the prefix /usr, as Debian ships it,
# and <prefix>/lib/systemd/system for any other prefix; systemd searches
# /usr/local/lib/systemd/system as well.  NCHATD_SYSTEMD_UNITDIR overrides
# it.  The unit's ExecStart names the sbin directory of the prefix that is
# actually installed to, which is only known at install time.
#
# `cpack -G DEB` in the build directory makes nchatd_<version>_<arch>.deb
# with everything under /usr and the unit in /lib/systemd/system.

set(NCHATD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

set(NCHATD_SYSTEMD_UNITDIR "" CACHE PATH
  "Directory for nchatd.service and nchatd.socket (empty: /lib/systemd/system for the prefix /usr, <prefix>/lib/systemd/system otherwise)")
set(NCHATD_PACKAGE_MAINTAINER "The nchatd developers <nchatd-devel@example.org>" CACHE STRING
  "Maintainer field of the Debian package")

install(TARGETS nchatd nchatctl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Debian ships the manual page and the change log compressed; -n keeps the
# name and time out of the gzip header so that rebuilds give the same bytes.
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
find_program(NCHATD_GZIP gzip)
mark_as_advanced(NCHATD_GZIP)
set(nchatd_gz_files)
foreach(name IN ITEMS nchatd.8 nchatctl.8 changelog)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}.gz)
  if(NCHATD_GZIP)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E copy ${NCHATD_PACKAGING_DIR}/${name} ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}
      COMMAND ${NCHATD_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}
      DEPENDS ${NCHATD_PACKAGING_DIR}/${name}
      COMMENT "Compressing ${name}"
      VERBATIM)
    list(APPEND nchatd_gz_files ${gz})
  else()
    set(gz ${NCHATD_PACKAGING_DIR}/${name})
  endif()
  set(nchatd_${name}_file ${gz})
endforeach()
add_custom_target(nchatd_compressed ALL DEPENDS ${nchatd_gz_files})
install(FILES ${nchatd_nchatd.8_file} ${nchatd_nchatctl.8_file} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${NCHATD_PACKAGING_DIR}/copyright ${nchatd_changelog_file}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The units are written at install time: their directory and the service's
# ExecStart depend on the prefix given to `cmake --install` or chosen by
# cpack.  Each install writes its own scratch copy, so concurrent installs
# do not meet.  The socket unit names no path and goes beside the service.
set(nchatd_unit_code [[
if(NOT IS_ABSOLUTE "${nchatd_sbindir}")
  set(nchatd_sbindir "${CMAKE_INSTALL_PREFIX}/${nchatd_sbindir}")
endif()
if(nchatd_unitdir STREQUAL "")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(nchatd_unitdir /lib/systemd/system)
  else()
    set(nchatd_unitdir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  endif()
endif()
file(READ "${nchatd_unit_src}" nchatd_unit)
string(REPLACE "/usr/sbin/nchatd" "${nchatd_sbindir}/nchatd" nchatd_unit "${nchatd_unit}")
string(RANDOM LENGTH 12 nchatd_rand)
set(nchatd_unit_tmp "${nchatd_unit_tmp}/unit-${nchatd_rand}")
file(WRITE "${nchatd_unit_tmp}/nchatd.service" "${nchatd_unit}")
file(INSTALL DESTINATION "${nchatd_unitdir}" TYPE FILE
  FILES "${nchatd_unit_tmp}/nchatd.service" "${nchatd_socket_src}")
file(REMOVE_RECURSE "${nchatd_unit_tmp}")
]])
install(CODE "
set(nchatd_unit_src \"${NCHATD_PACKAGING_DIR}/nchatd.service\")
set(nchatd_socket_src \"${NCHATD_PACKAGING_DIR}/nchatd.socket\")
set(nchatd_unit_tmp \"${CMAKE_CURRENT_BINARY_DIR}/packaging\")
set(nchatd_unitdir \"${NCHATD_SYSTEMD_UNITDIR}\")
set(nchatd_sbindir \"${CMAKE_INSTALL_SBINDIR}\")
${nchatd_unit_code}")

# cpack installs from the tree as it is built, like `cmake --install`; it
# starts no build of its own (`make package` builds first).  Otherwise its
# check of the tree rebuilds whatever changed since, tests included.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Debian package.  The install runs with DESTDIR set to the staging
# directory and the prefix /usr, so the unit lands in /lib/systemd/system
# of the package rather than of the build machine.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nchatd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The nchatd developers")
set(CPACK_PACKAGE_CONTACT "${NCHATD_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multi-user chat server for plain-text terminals")
set(CPACK_PACKAGE_DESCRIPTION [=[
nchatd lets the people behind ordinary telnet clients or raw TCP terminals
talk to each other. It listens on one TCP port of every IPv4 and IPv6
address, does the line editing and echo on the server side so that it can
redraw a user's half-typed line when a message arrives, and offers
commands to list users, change nick names, set a status text, send private
messages and wait for the next message. nchatctl talks to a running server
over its private control socket.

All state lives in memory; there are no configuration files, no accounts
and no stored history. A hardened systemd unit runs the server as an
unprivileged dynamic user, started at boot or, with the socket unit, at
the first connection.]=])
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NCHATD_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "telnet | netcat-openbsd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${NCHATD_PACKAGING_DIR}/postinst
  ${NCHATD_PACKAGING_DIR}/prerm
  ${NCHATD_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Architecture from `dpkg --print-architecture` and Depends from
# dpkg-shlibdeps (package dpkg-dev), both looked up when cpack runs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The staging directories are made with mode 0777 less the umask of the
# person running cpack; under umask 077 the package would carry 0700
# directories.  Before the archive is made, give them the mode Debian wants.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/cpack-dirmodes.cmake [[
file(GLOB_RECURSE nchatd_staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS nchatd_staged)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
]])
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/packaging/cpack-dirmodes.cmake)

include(CPack)
