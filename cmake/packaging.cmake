# SPDX-License-Identifier: Apache-2.0
# Debian packages, made by CPack from the install components of one build
# (scripts/package drives it):
#
#   libmorrow1     morrow: libmorrow.so.1
#   libvestra1     runtime: libvestra.so.1
#   libvestra-dev  dev: headers, both .so links, pkg-config files, CMake package,
#                  the API reference's HTML (V2X_BUILD_DOCS, cmake/doxygen.cmake)
#   vestra-tools   tools: v2x-station, v2x-ctl, the Wireshark dissector, the
#                  demo configurations, the station's service unit and its
#                  configuration (/etc/vestra/station.cfg, a conffile), and
#                  the Prometheus timer and its service
#   vestra-sim     sim: radio-sim and the test programs (sys-api-min)
#   python3-vestra python: the Python binding (python/vestra), architecture all
#
# and PACKAGE-dbgsym with the debug information of each package holding
# programs or libraries. The libraries and -dev are Multi-Arch: same, so the
# packages of two architectures install side by side.
#
# V2X_PACKAGE=ON adds what only the packages install (copyright, changelog)
# and writes the CPack configuration; the packages want
# -DCMAKE_INSTALL_PREFIX=/usr -DV2X_INSTALL_RPATH=OFF. Version, revision and
# maintainer come from the latest entry of packaging/debian/changelog.
# V2X_INSTALL_SERVICE=ON (implied by V2X_PACKAGE) installs the service files
# without making packages (scripts/cross-build --stage).

option(V2X_PACKAGE "Set up Debian packages (cpack) and install their extra files" OFF)
option(V2X_INSTALL_SERVICE "Install the station's systemd units and its /etc/vestra configuration" OFF)
set(V2X_SERVICE_DIR ${PROJECT_SOURCE_DIR}/packaging/systemd CACHE PATH
  "Folder of v2x-station.service, station.cfg and v2x-prometheus.{service,timer}; each is installed if present")

if(V2X_PACKAGE OR V2X_INSTALL_SERVICE)
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
endif()

if(NOT V2X_PACKAGE)
  return()
endif()
if(V2X_INSTALL_RPATH)
  message(FATAL_ERROR "Debian packages carry no RPATH: configure with -DV2X_INSTALL_RPATH=OFF")
endif()

set(v2x_deb_src ${PROJECT_SOURCE_DIR}/packaging/debian)
set(v2x_deb_bin ${PROJECT_BINARY_DIR}/packaging)

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
set(v2x_deb_packages morrow:libmorrow1 runtime:libvestra1 dev:libvestra-dev tools:vestra-tools
  sim:vestra-sim python:python3-vestra)
foreach(pair IN LISTS v2x_deb_packages)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 comp)
  list(GET pair 1 pkg)
  install(FILES ${v2x_deb_src}/copyright ${v2x_deb_bin}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
endforeach()
# A package's documented lintian overrides, its control files (the symbols
# file, the ldconfig trigger, maintainer scripts), each if present.
foreach(pair IN LISTS v2x_deb_packages)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 comp)
  list(GET pair 1 pkg)
  if(EXISTS ${v2x_deb_src}/${pkg}/lintian-overrides)
    install(FILES ${v2x_deb_src}/${pkg}/lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${pkg} COMPONENT ${comp})
  endif()
  set(v2x_${comp}_control "")
  foreach(f symbols triggers postinst prerm postrm)
    if(EXISTS ${v2x_deb_src}/${pkg}/${f})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${v2x_deb_src}/${pkg}/${f})
      list(APPEND v2x_${comp}_control ${v2x_deb_src}/${pkg}/${f})
    endif()
  endforeach()
endforeach()
# The API reference registered with doc-base, where it is built.
if(V2X_BUILD_DOCS AND EXISTS ${v2x_deb_src}/libvestra-dev/doc-base)
  install(FILES ${v2x_deb_src}/libvestra-dev/doc-base
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc-base RENAME libvestra-dev COMPONENT dev)
endif()
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
# CPack splits the debug information off into the -dbgsym packages and then
# strips the files itself (objcopy --strip-unneeded): the build keeps -g and
# CPack must not strip first, or there is nothing left to split. The target's
# objcopy and readelf, also when cross-compiling.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL morrow runtime dev tools sim python)
set(CPACK_COMPONENT_RUNTIME_DEPENDS morrow)
set(CPACK_COMPONENT_DEV_DEPENDS runtime morrow)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime morrow)
set(CPACK_COMPONENT_SIM_DEPENDS runtime morrow)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime morrow)
# A component dependency becomes "libvestra1 (= VERSION-REVISION)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# What CPack does not do as Debian does, cmake/deb-finish.cmake does once
# the packages are made: among others the Multi-Arch field of these and
# their -dbgsym packages.
set(CPACK_V2X_MULTIARCH_SAME libmorrow1 libvestra1 libvestra-dev)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-finish.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${v2x_deb_revision})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${V2X_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${v2x_deb_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SOURCE vestra)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds this build's libraries in the build tree (their
# packages are the component dependencies above) and, for a cross build, the
# target libraries that are unpacked rather than installed in the folders of
# V2X_PACKAGE_SHLIBDEPS_DIRS, each inside a tree whose DEBIAN/ holds the
# shlibs and symbols files of their packages (scripts/package makes them).
set(V2X_PACKAGE_SHLIBDEPS_DIRS "" CACHE STRING
  "More library folders for dpkg-shlibdeps (;-list), inside package trees with DEBIAN/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/vestra ${PROJECT_BINARY_DIR}/morrow ${V2X_PACKAGE_SHLIBDEPS_DIRS})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps, run by cpack, resolves libraries for the target.
  file(WRITE ${v2x_deb_bin}/cpack-project.cmake "set(ENV{DEB_HOST_ARCH} \"${V2X_DEB_ARCH}\")\n")
  set(CPACK_PROJECT_CONFIG_FILE ${v2x_deb_bin}/cpack-project.cmake)
endif()

# The library packages: a shlibs file (programs linked against a library
# depend on this version or a later one), the symbols file where there is
# one, and the ldconfig trigger (CPack's own postinst and postrm call
# ldconfig too; see the lintian overrides).
# (CPack has only the global switch; packages without a library get none.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
foreach(comp morrow runtime)
  string(TOUPPER ${comp} COMP)
  set(CPACK_DEBIAN_${COMP}_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_${COMP}_PACKAGE_CONTROL_EXTRA ${v2x_${comp}_control})
endforeach()

set(CPACK_DEBIAN_MORROW_PACKAGE_NAME libmorrow1)
set(CPACK_DEBIAN_MORROW_DESCRIPTION "C-V2X network layer - support library
libmorrow is the support library of the libvestra C-V2X network layer:
logging, buffers and queues, the daemon server and its Unix-domain socket,
the watchdog feeder, digests and AES.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvestra1)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "C-V2X network layer - shared library
libvestra is the network layer of a C-V2X (LTE-V2X) station: DSMP over the
radio module's UDP link, the AID table, the management entity with its
service advertisements, and the Unix-domain socket serving applications,
with the client library and the simple blocking system API.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvestra-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# morrow.pc names libconfig among its requirements; the CMake package finds
# libevent with pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libevent-dev, libconfig-dev, pkgconf | pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION "C-V2X network layer - development files
Headers of libvestra (cv2x_app.h, cv2x_app_sys.h and the records they use)
and libmorrow, both libraries' .so links, the pkg-config files vestra.pc and
morrow.pc, the CMake package (find_package(vestra CONFIG)) and the API
reference in HTML.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vestra-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
# useradd and groupadd, for the service's account.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "wireshark | tshark")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${v2x_tools_control})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "C-V2X network layer - station and tools
v2x-station hosts one station's network layer from a configuration file
and runs as the v2x-station service; v2x-ctl reads a running core's
counters and lists. Also the Wireshark dissector for DSMP and example
configurations.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME vestra-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SIM_PACKAGE_CONTROL_EXTRA ${v2x_sim_control})
set(CPACK_DEBIAN_SIM_DESCRIPTION "C-V2X network layer - radio simulator and test programs
radio-sim stands in for the C-V2X radio module of stations on loopback;
sys-api-min is the simple system API in a dozen lines of C, run on a board
against its radio module. For tests and bring-up, not for production.")

# Pure Python over ctypes: one package for every architecture, which loads
# the libraries of whichever architecture the interpreter runs as.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vestra)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "C-V2X network layer - Python binding
The vestra module drives libvestra from Python through ctypes: a client of
a station's core (registrations, sending with options, receive records,
provider and user services, with confirms), asyncio receiving, and the
core's counters read over its socket.")

include(CPack)
