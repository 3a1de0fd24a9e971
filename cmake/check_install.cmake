# Installs a build tree into a scratch prefix, then builds and runs a consumer program against it:
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DSAMPLE_DIR=... -DPUBLIC_DIR=... -DGENERATOR=...
#         -DCXX=... -DLIBDIR=... -DMANDIR=... -DEXPECT_MAN_PAGE=ON|OFF -DPYTHON=... -P cmake/check_install.cmake
#
# Passes when the prefix carries the licence and notices of what it contains
# (scripts/notices_check.py); when the consumer configures with find_package(halyx), links, and
# prints for the sample exactly the verdict the installed halyx-verify prints, and does the same
# when compiled with the flags pkg-config gives for halyx.pc; and when the manual page is installed
# if one was built; and when the installed include tree is PUBLIC_DIR (halyx-core/include), each of
# its headers compiling on its own. Nothing of the build or source tree is on the consumer's paths,
# so a header or library missing from the install fails here.
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR SAMPLE_DIR PUBLIC_DIR GENERATOR CXX LIBDIR MANDIR EXPECT_MAN_PAGE PYTHON)
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
# halyx-verify adds a line with the leaf's fields; the first is the verdict the consumer prints.
string(REGEX REPLACE "\n.*" "\n" verdict "${step_output}")
if(NOT consumer STREQUAL verdict OR NOT consumer MATCHES "^verified: leaf_index=")
  message(FATAL_ERROR "the consumer printed '${consumer}', the installed halyx-verify '${step_output}'")
endif()

# The same program through pkg-config, as a Makefile would build it.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
step(pkg-config --cflags --libs halyx)
string(STRIP "${step_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
step("${CXX}" -std=c++23 -O2 -I "${CONSUMER_DIR}/include" "${CONSUMER_DIR}/verify_files.cpp" ${flags}
     -o "${WORK_DIR}/verify_files_pc")
step("${WORK_DIR}/verify_files_pc" ${sample})
if(NOT step_output STREQUAL consumer)
  message(FATAL_ERROR "built through pkg-config, the consumer printed '${step_output}', not '${consumer}'")
endif()

# The installed headers are the public interface and nothing else: the include folder of the
# sources as it is, and in it no header of the layers only the library's own code includes (the
# ML-DSA verifier, SHA-256, the CPU check, the CBOR codec).
file(GLOB_RECURSE expected_headers RELATIVE "${PUBLIC_DIR}" "${PUBLIC_DIR}/*")
file(GLOB_RECURSE installed_tree RELATIVE "${prefix}/include" "${prefix}/include/*")
list(SORT installed_tree)
list(SORT expected_headers)
if(NOT installed_tree STREQUAL expected_headers)
  message(FATAL_ERROR "the installed headers are\n  ${installed_tree}\nnot those of ${PUBLIC_DIR}\n  ${expected_headers}")
endif()
foreach(header IN LISTS installed_tree)
  if(header MATCHES "^halyx/(mldsa|digest|cpu|dcbor)/")
    message(FATAL_ERROR "<${header}> is installed, but its layer is the library's own")
  endif()
endforeach()

# Every installed header compiles on its own, beside the consumer's look-alike headers: what one
# includes was installed too, and it reaches it as <halyx/...>.
file(GLOB_RECURSE installed RELATIVE "${prefix}/include" "${prefix}/include/halyx/*.hpp")
if(NOT installed)
  message(FATAL_ERROR "no headers under ${prefix}/include/halyx")
endif()
foreach(header IN LISTS installed)
  file(WRITE "${WORK_DIR}/header_check.cpp" "#include <${header}>\n")
  step("${CXX}" -std=c++23 -fsyntax-only -I "${CONSUMER_DIR}/include" -I "${prefix}/include"
       "${WORK_DIR}/header_check.cpp")
endforeach()

if(EXPECT_MAN_PAGE)
  set(man "${prefix}/${MANDIR}/man1/halyx-verify.1")
  if(NOT EXISTS "${man}")
    message(FATAL_ERROR "no manual page at ${man}")
  endif()
  file(READ "${man}" page)
  if(NOT page MATCHES "batch checks the STH once" OR NOT page MATCHES "\\.TH HALYX-VERIFY \"1\"")
    message(FATAL_ERROR "${man} does not hold halyx-verify's help")
  endif()
endif()
list(LENGTH installed count)
message(STATUS "${count} public headers installed, each compiles on its own")
message(STATUS "consumer built against ${prefix} (CMake package and pkg-config): ${consumer}")
