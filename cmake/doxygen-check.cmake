# SPDX-License-Identifier: Apache-2.0
# The docs.doxygen test (cmake/doxygen.cmake): runs doxygen on DIR/Doxyfile
# and fails on any warning, by doxygen's status (WARN_AS_ERROR =
# FAIL_ON_WARNINGS) and by its warning log, which must be empty, and when
# the HTML has no index.html.
#
#   cmake -DDOXYGEN=/usr/bin/doxygen -DDIR=BUILD/docs-test -P doxygen-check.cmake

if(NOT DOXYGEN OR NOT DIR)
  message(FATAL_ERROR "usage: cmake -DDOXYGEN=PATH -DDIR=FOLDER -P doxygen-check.cmake")
endif()
set(log ${DIR}/doxygen-warnings.log)
file(REMOVE_RECURSE ${DIR}/html)
file(REMOVE ${log})
execute_process(COMMAND ${DOXYGEN} ${DIR}/Doxyfile WORKING_DIRECTORY ${DIR}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(warnings "")
if(EXISTS ${log})
  file(READ ${log} warnings)
endif()
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "doxygen: status ${rc}; every public declaration, parameter and result needs "
    "its documentation (docs/Doxyfile.in).\n${warnings}${out}${err}")
endif()
if(NOT EXISTS ${DIR}/html/index.html)
  message(FATAL_ERROR "doxygen made no ${DIR}/html/index.html\n${out}${err}")
endif()
message(STATUS "doxygen: no warnings; ${DIR}/html/index.html")
