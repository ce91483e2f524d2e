# Debian packages, made by CPack from the install components of one build
# (scripts/package drives it):
#
#   libvestra1     runtime: libvestra.so.1, libmorrow.so.1
#   libvestra-dev  dev: headers, the .so links, pkg-config files, CMake package
#   vestra-tools   tools: the programs, the Wireshark dissector, the demo
#                  configurations, the station's service unit and its
#                  configuration (/etc/vestra/station.cfg, a conffile), and
#                  the Prometheus timer and its service
#
# V2X_PACKAGE=ON adds what only the packages install (copyright, changelog,
# the service files) and writes the CPack configuration; the packages want
# -DCMAKE_INSTALL_PREFIX=/usr -DV2X_INSTALL_RPATH=OFF. Version, revision and
# maintainer come from the latest entry of packaging/debian/changelog.

option(V2X_PACKAGE "Set up Debian packages (cpack) and install their extra files" OFF)
if(NOT V2X_PACKAGE)
  return()
endif()
if(V2X_INSTALL_RPATH)
  message(FATAL_ERROR "Debian packages carry no RPATH: configure with -DV2X_INSTALL_RPATH=OFF")
endif()

set(v2x_deb_src ${PROJECT_SOURCE_DIR}/packaging/debian)
set(v2x_deb_bin ${PROJECT_BINARY_DIR}/packaging)
set(V2X_SERVICE_DIR ${PROJECT_SOURCE_DIR}/packaging/systemd CACHE PATH
  "Folder of v2x-station.service, station.cfg and v2x-prometheus.{service,timer}; each is packaged if present")

# --- version and maintainer ---------------------------------------------------
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${v2x_deb_src}/changelog)
file(STRINGS ${v2x_deb_src}/changelog v2x_changelog)
list(GET v2x_changelog 0 v2x_head)
if(NOT v2x_head MATCHES "^vestra \\(([^)-]+)-([A-Za-z0-9.+~]+)\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the first line is not "
    "\"vestra (VERSION-REVISION) ...\": ${v2x_head}")
endif()
set(v2x_deb_upstream ${CMAKE_MATCH_1})
set(v2x_deb_revision ${CMAKE_MATCH_2})
if(NOT v2x_deb_upstream STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog's latest entry is for ${v2x_deb_upstream}, "
    "the project is ${PROJECT_VERSION}: add an entry for this version")
endif()
set(v2x_deb_maintainer "")
foreach(line IN LISTS v2x_changelog)
  if(line MATCHES "^ -- (.+ <[^>]+>)  ")
    set(v2x_deb_maintainer "${CMAKE_MATCH_1}")
    break()
  endif()
endforeach()
if(NOT v2x_deb_maintainer)
  message(FATAL_ERROR "packaging/debian/changelog: no \" -- NAME <ADDRESS>  DATE\" line")
endif()

# The Debian architecture: the target's, also when cross-compiling.
set(V2X_DEB_ARCH "" CACHE STRING "Debian architecture of the packages (default: the target's)")
if(NOT V2X_DEB_ARCH)
  if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
      OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  else()
    execute_process(COMMAND dpkg --print-architecture
      OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT arch)
    message(FATAL_ERROR "cannot tell the Debian architecture: set -DV2X_DEB_ARCH=")
  endif()
  set(V2X_DEB_ARCH ${arch} CACHE STRING "" FORCE)
endif()

# --- files only the packages install ------------------------------------------
# Every package carries the copyright file and the changelog, compressed the
# way Debian wants it (gzip -9, no name or time stamp, so the bytes repeat).
file(MAKE_DIRECTORY ${v2x_deb_bin})
execute_process(COMMAND gzip -9nc ${v2x_deb_src}/changelog
  OUTPUT_FILE ${v2x_deb_bin}/changelog.Debian.gz RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of packaging/debian/changelog failed")
endif()
foreach(pair runtime:libvestra1 dev:libvestra-dev tools:vestra-tools)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 comp)
  list(GET pair 1 pkg)
  install(FILES ${v2x_deb_src}/copyright ${v2x_deb_bin}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
endforeach()
install(FILES ${v2x_deb_src}/libvestra1/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libvestra1 COMPONENT runtime)

# The station's service: the unit where systemd looks for the prefix's units
# (/usr/lib/systemd/system), its configuration under /etc (with prefix /usr;
# etc/ under any other prefix) as a conffile, which an upgrade never
# overwrites once edited.
set(v2x_conffiles "")
# With it, the timer that writes the core's counters for Prometheus.
foreach(unit v2x-station.service v2x-prometheus.service v2x-prometheus.timer)
  if(EXISTS ${V2X_SERVICE_DIR}/${unit})
    install(FILES ${V2X_SERVICE_DIR}/${unit} DESTINATION lib/systemd/system COMPONENT tools)
  endif()
endforeach()
if(EXISTS ${V2X_SERVICE_DIR}/station.cfg)
  install(FILES ${V2X_SERVICE_DIR}/station.cfg
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vestra COMPONENT tools)
  list(APPEND v2x_conffiles ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vestra/station.cfg)
endif()
set(v2x_tools_control ${v2x_deb_src}/vestra-tools/postinst ${v2x_deb_src}/vestra-tools/prerm
  ${v2x_deb_src}/vestra-tools/postrm)
file(REMOVE ${v2x_deb_bin}/conffiles)
if(v2x_conffiles)
  list(JOIN v2x_conffiles "\n" text)
  file(WRITE ${v2x_deb_bin}/conffiles "${text}\n")
  list(APPEND v2x_tools_control ${v2x_deb_bin}/conffiles)
endif()

# --- CPack ----------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vestra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# A component dependency becomes "libvestra1 (= VERSION-REVISION)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${v2x_deb_revision})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${V2X_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${v2x_deb_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SOURCE vestra)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The shlibs file of libvestra1: programs linked against it depend on this
# version or a later one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps finds this build's libraries in the build tree (their
# package is the component dependency above) and, for a cross build, the
# target libraries that are unpacked rather than installed in the folders of
# V2X_PACKAGE_SHLIBDEPS_DIRS, each inside a tree whose DEBIAN/ holds the
# shlibs and symbols files of their packages (scripts/package makes them).
set(V2X_PACKAGE_SHLIBDEPS_DIRS "" CACHE STRING
  "More library folders for dpkg-shlibdeps (;-list), inside package trees with DEBIAN/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/vestra ${PROJECT_BINARY_DIR}/morrow ${V2X_PACKAGE_SHLIBDEPS_DIRS})
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps, run by cpack, resolves libraries for the target.
  file(WRITE ${v2x_deb_bin}/cpack-project.cmake "set(ENV{DEB_HOST_ARCH} \"${V2X_DEB_ARCH}\")\n")
  set(CPACK_PROJECT_CONFIG_FILE ${v2x_deb_bin}/cpack-project.cmake)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvestra1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# ldconfig runs through the trigger (CPack's own postinst and postrm call it
# too; see the lintian overrides).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${v2x_deb_src}/libvestra1/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "C-V2X network layer - shared libraries
libvestra is the network layer of a C-V2X (LTE-V2X) station: DSMP over the
radio module's UDP link, the AID table, the management entity with its
service advertisements, and the Unix-domain socket serving applications,
with the client library and the simple blocking system API. libmorrow holds
its logging, buffers, daemon server, watchdog feeder, digests and AES.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvestra-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# morrow.pc names libconfig among its private requirements, which pkg-config
# resolves for the compile flags too; the CMake package finds libevent with
# pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libevent-dev, libconfig-dev, pkgconf | pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION "C-V2X network layer - development files
Headers of libvestra (cv2x_app.h, cv2x_app_sys.h and the records they use)
and libmorrow, the libraries' .so links, the pkg-config files vestra.pc and
morrow.pc, and the CMake package (find_package(vestra CONFIG)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vestra-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# useradd and groupadd, for the service's account.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "wireshark | tshark")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${v2x_tools_control})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "C-V2X network layer - station, simulator and tools
v2x-station hosts one station's network layer from a configuration file
and runs as the v2x-station service; radio-sim stands in for the C-V2X
radio module of stations on loopback; v2x-ctl reads a running core's
counters and lists; sys-api-min is the simple system API in a dozen lines
of C. Also the Wireshark dissector for DSMP and example configurations.")

include(CPack)
