# SPDX-License-Identifier: Apache-2.0
# The API reference of the public headers, made by doxygen from
# docs/Doxyfile.in:
#
#   docs          target: the HTML in BUILD/docs/html (index.html)
#   docs.doxygen  test (with V2X_BUILD_TESTS): doxygen runs without a single
#                 warning, so every public declaration stays documented
#
# V2X_BUILD_DOCS=ON (scripts/package passes it) builds the HTML with every
# build and installs it with the dev component, under
# share/doc/libvestra-dev/html. doxygen is required whenever the test or the
# HTML is wanted: a build that should check the documentation never skips it
# quietly.

option(V2X_BUILD_DOCS "Build the API reference (doxygen) with every build and install it (dev)" OFF)
set(V2X_DOCS_INSTALL_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvestra-dev/html CACHE PATH
  "Where the API reference's HTML is installed (V2X_BUILD_DOCS)")

set(v2x_docs_test OFF)
if(V2X_BUILD_TESTS AND NOT V2X_FUZZ)
  set(v2x_docs_test ON)
endif()

find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  if(V2X_BUILD_DOCS OR v2x_docs_test)
    message(FATAL_ERROR "doxygen was not found: the API reference (V2X_BUILD_DOCS) and its test "
      "(docs.doxygen, built with V2X_BUILD_TESTS) need it. scripts/deps installs it "
      "(Debian package doxygen); or configure with -DV2X_BUILD_TESTS=OFF -DV2X_BUILD_DOCS=OFF.")
  endif()
  return()
endif()

# The public headers: libvestra's by name, every morrow/*.h through its folder.
set(v2x_doc_headers
  ${PROJECT_SOURCE_DIR}/vestra/cV2xApp/cv2x_app.h
  ${PROJECT_SOURCE_DIR}/vestra/cV2xAppSys/cv2x_app_sys.h
  ${PROJECT_SOURCE_DIR}/vestra/include/core_app.h
  ${PROJECT_SOURCE_DIR}/vestra/include/v2x_core.h
  ${PROJECT_SOURCE_DIR}/vestra/include/v2x_limits.h
  ${PROJECT_SOURCE_DIR}/vestra/include/v2x_stats.h
  ${PROJECT_SOURCE_DIR}/vestra/include/v2x_types.h)
file(GLOB v2x_doc_morrow_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/morrow/*.h)
set(v2x_doc_input "")
foreach(h IN LISTS v2x_doc_headers)
  string(APPEND v2x_doc_input " \"${h}\"")
endforeach()
string(APPEND v2x_doc_input " \"${PROJECT_SOURCE_DIR}/morrow\"")
set(V2X_DOXYGEN_INPUT "${v2x_doc_input}")

# One configuration for the target, one for the test: each writes its own
# folder, so the test never races a build of the target.
set(v2x_docs_dir ${CMAKE_BINARY_DIR}/docs)
set(V2X_DOXYGEN_OUT ${v2x_docs_dir})
set(V2X_DOXYGEN_WARN_LOG ${v2x_docs_dir}/doxygen-warnings.log)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${v2x_docs_dir}/Doxyfile @ONLY)

# The folder is emptied first, so that the HTML of a header that is gone
# is not installed.
set(v2x_docs_all "")
if(V2X_BUILD_DOCS)
  set(v2x_docs_all ALL)
endif()
add_custom_command(OUTPUT ${v2x_docs_dir}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E remove_directory ${v2x_docs_dir}/html
  COMMAND ${DOXYGEN_EXECUTABLE} ${v2x_docs_dir}/Doxyfile
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${v2x_docs_dir}/Doxyfile
          ${v2x_doc_headers} ${v2x_doc_morrow_headers}
  WORKING_DIRECTORY ${v2x_docs_dir}
  COMMENT "API reference (doxygen): ${v2x_docs_dir}/html/index.html"
  VERBATIM)
add_custom_target(docs ${v2x_docs_all} DEPENDS ${v2x_docs_dir}/html/index.html)

if(V2X_BUILD_DOCS)
  install(DIRECTORY ${v2x_docs_dir}/html/ DESTINATION ${V2X_DOCS_INSTALL_DIR} COMPONENT dev)
endif()

if(v2x_docs_test)
  set(v2x_docs_test_dir ${CMAKE_BINARY_DIR}/docs-test)
  set(V2X_DOXYGEN_OUT ${v2x_docs_test_dir})
  set(V2X_DOXYGEN_WARN_LOG ${v2x_docs_test_dir}/doxygen-warnings.log)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${v2x_docs_test_dir}/Doxyfile @ONLY)
  add_test(NAME docs.doxygen
    COMMAND ${CMAKE_COMMAND} -DDOXYGEN=${DOXYGEN_EXECUTABLE} -DDIR=${v2x_docs_test_dir}
            -P ${PROJECT_SOURCE_DIR}/cmake/doxygen-check.cmake)
endif()
