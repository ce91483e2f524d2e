# SPDX-License-Identifier: Apache-2.0
# Run by cpack once it has made the Debian packages (CPACK_POST_BUILD_SCRIPTS,
# see packaging.cmake), before it copies them to the output folder: each is
# unpacked, finished as Debian's own tools would, and repacked.
#
# - CPack writes no Multi-Arch field: the packages named in
#   CPACK_V2X_MULTIARCH_SAME and their -dbgsym packages get "Multi-Arch: same".
# - Programs and libraries lose the .comment and .note sections (dh_strip
#   removes them too; the build ID is in .note.gnu.build-id and stays).
# - A -dbgsym package's md5sums name files by their path in the package
#   (CPack's name the build folder), its .debug files are not executable, and
#   its documentation folder is a link to its package's, as Debian has it.
# CPack names the -dbgsym packages .ddeb; scripts/package renames them .deb.

set(v2x_debs ${CPACK_PACKAGE_FILES})
foreach(f IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(dir "${f}" DIRECTORY)
  file(GLOB ddebs "${dir}/*.ddeb")
  list(APPEND v2x_debs ${ddebs})
endforeach()
list(REMOVE_DUPLICATES v2x_debs)
if(NOT CPACK_OBJCOPY_EXECUTABLE)
  set(CPACK_OBJCOPY_EXECUTABLE objcopy)
endif()

function(v2x_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()

foreach(deb IN LISTS v2x_debs)
  if(NOT EXISTS "${deb}")
    continue()
  endif()
  execute_process(COMMAND dpkg-deb -f "${deb}" Package
    OUTPUT_VARIABLE pkg OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT pkg)
    message(FATAL_ERROR "dpkg-deb cannot read ${deb}")
  endif()
  set(dbgsym OFF)
  set(base "${pkg}")
  if(pkg MATCHES "^(.+)-dbgsym$")
    set(dbgsym ON)
    set(base "${CMAKE_MATCH_1}")
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  v2x_run(dpkg-deb -R "${deb}" "${tree}")

  list(FIND CPACK_V2X_MULTIARCH_SAME "${base}" at)
  file(READ "${tree}/DEBIAN/control" control)
  if(NOT at EQUAL -1 AND NOT control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control "${control}")
    if(NOT control MATCHES "\nMulti-Arch: same\n")
      message(FATAL_ERROR "${deb}: no Architecture field")
    endif()
    file(WRITE "${tree}/DEBIAN/control" "${control}")
  endif()

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/*")
  list(FILTER files EXCLUDE REGEX "^DEBIAN/")
  list(SORT files)
  if(dbgsym)
    foreach(f IN LISTS files)
      file(CHMOD "${tree}/${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endforeach()
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${base}" "${tree}/usr/share/doc/${pkg}" SYMBOLIC)
  else()
    foreach(f IN LISTS files)
      if(NOT IS_SYMLINK "${tree}/${f}")
        file(READ "${tree}/${f}" magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
          v2x_run(${CPACK_OBJCOPY_EXECUTABLE} --remove-section=.comment --remove-section=.note
            "${tree}/${f}")
        endif()
      endif()
    endforeach()
  endif()
  set(sums "")
  foreach(f IN LISTS files)
    if(NOT IS_SYMLINK "${tree}/${f}")
      file(MD5 "${tree}/${f}" md5)
      string(APPEND sums "${md5}  ${f}\n")
    endif()
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")

  v2x_run(dpkg-deb --root-owner-group -b "${tree}" "${deb}")
  file(REMOVE_RECURSE "${tree}")
endforeach()
