# Installs a build tree into a scratch prefix, then builds and runs a consumer program against it:
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DSAMPLE_DIR=... -DGENERATOR=... -DCXX=...
#         -DPYTHON=... -P cmake/check_install.cmake
#
# Passes when the prefix carries the licence and notices of what it contains
# (scripts/notices_check.py), and the consumer configures with find_package(halyx), links, and
# prints for the sample exactly what the installed halyx-verify prints. Nothing of the build or
# source tree is on the consumer's paths, so a header or library missing from the install fails here.
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR SAMPLE_DIR GENERATOR CXX PYTHON)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_install.cmake: ${var} is not set")
  endif()
endforeach()

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " line "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${line}\n${out}${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
step("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
step("${PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/../scripts/notices_check.py" "${prefix}")
step("${CMAKE_COMMAND}" -S "${CONSUMER_DIR}" -B "${WORK_DIR}/consumer" -G "${GENERATOR}"
     "-DCMAKE_CXX_COMPILER=${CXX}" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_PREFIX_PATH=${prefix}"
     -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
step("${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")

set(sample "${SAMPLE_DIR}/leaf.cbor" "${SAMPLE_DIR}/proof.bin" "${SAMPLE_DIR}/sth.bin" "${SAMPLE_DIR}/sth.sig"
           "${SAMPLE_DIR}/ca.pub")
step("${WORK_DIR}/consumer/verify_files" ${sample})
set(consumer "${step_output}")
step("${prefix}/bin/halyx-verify" ${sample})
if(NOT consumer STREQUAL step_output OR NOT consumer MATCHES "^verified: leaf_index=")
  message(FATAL_ERROR "the consumer printed '${consumer}', the installed halyx-verify '${step_output}'")
endif()
message(STATUS "consumer built against ${prefix}: ${consumer}")
