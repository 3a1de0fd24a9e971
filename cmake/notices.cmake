# The licence and the notices that what this build ships must carry, decided in one place from what
# it links into the module, the command-line verifier and the installed libraries:
#   LICENSE, NOTICE           always: the project's licence, and the Unicode licence of the NFC
#                             tables that every build contains
#   licenses/NOTICE-OpenSSL   when libcrypto is linked statically (the OpenSSL backend on the
#                             libcrypto the project builds; a system libcrypto stays outside)
#   licenses/LICENSE-liboqs   when a static liboqs is
# cmake --install puts them in share/doc/halyx_verifier. For setup.py, notices.json in the build
# tree lists them, relative to the source tree, with the licence expression (SPDX) of the whole.
set(HALYX_NOTICE_FILES LICENSE NOTICE)
set(HALYX_LICENSE_EXPRESSION "Apache-2.0 AND Unicode-3.0")
if(HALYX_MLDSA_CHOSEN STREQUAL "openssl" AND NOT HALYX_SYSTEM_CRYPTO_FOUND)
  list(APPEND HALYX_NOTICE_FILES licenses/NOTICE-OpenSSL)
endif()
if(HALYX_MLDSA_CHOSEN STREQUAL "liboqs")
  get_target_property(_halyx_oqs_type OQS::oqs TYPE)
  if(_halyx_oqs_type STREQUAL "STATIC_LIBRARY")
    list(APPEND HALYX_NOTICE_FILES licenses/LICENSE-liboqs)
    string(APPEND HALYX_LICENSE_EXPRESSION " AND MIT")
  endif()
endif()

list(TRANSFORM HALYX_NOTICE_FILES PREPEND "${PROJECT_SOURCE_DIR}/" OUTPUT_VARIABLE _halyx_notice_paths)
install(FILES ${_halyx_notice_paths} DESTINATION "${CMAKE_INSTALL_DOCDIR}")

list(JOIN HALYX_NOTICE_FILES "\", \"" _halyx_notice_json)
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/notices.json" CONTENT
     "{\"license\": \"${HALYX_LICENSE_EXPRESSION}\", \"files\": [\"${_halyx_notice_json}\"]}\n")
