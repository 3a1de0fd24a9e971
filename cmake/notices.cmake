# The licence, the notices and the bill of materials (SBOM) that what this build ships must carry,
# decided in one place from what it links into the module, the command-line verifier and the
# installed libraries:
#   LICENSE, NOTICE           always: the project's licence, and the Unicode licence of the NFC
#                             tables that every build contains
#   licenses/NOTICE-OpenSSL   when libcrypto is linked statically (the OpenSSL backend on the
#                             libcrypto the project builds; a system libcrypto stays outside)
#   licenses/LICENSE-liboqs   when a static liboqs is
# cmake --install puts them in share/doc/halyx_verifier. notices.json in the build tree lists them,
# relative to the source tree, with the licence expression (SPDX) of the whole.
#
# A wheel build (scikit-build-core) takes LICENSE and NOTICE from pyproject.toml; the library
# notices go into the dist-info's licenses/ folder from here, and the SBOM (CycloneDX) into its
# sboms/ folder: the project, the Unicode data its tables were generated from, and each library
# linked into the module, with the version built.
set(HALYX_NOTICE_FILES LICENSE NOTICE)
set(HALYX_LICENSE_EXPRESSION "Apache-2.0 AND Unicode-3.0")

# The Unicode version is the one the generated tables name in their first line.
file(STRINGS "${PROJECT_SOURCE_DIR}/dcbor/src/nfc_tables.inc" _halyx_ucd_line
     REGEX "^// nfc_tables.inc: Unicode [0-9.]+ data" LIMIT_COUNT 1)
string(REGEX REPLACE ".*Unicode ([0-9.]+) data.*" "\\1" _halyx_ucd_version "${_halyx_ucd_line}")
if(NOT _halyx_ucd_version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "dcbor/src/nfc_tables.inc names no Unicode version in its first line")
endif()
set(_halyx_sbom_refs "unicode-ucd")
set(_halyx_sbom_components "    {\"type\": \"data\", \"bom-ref\": \"unicode-ucd\", \"name\": \"Unicode Character Database\",
     \"version\": \"${_halyx_ucd_version}\",
     \"description\": \"NFC tables generated from UnicodeData.txt, DerivedNormalizationProps.txt and CompositionExclusions.txt\",
     \"licenses\": [{\"license\": {\"id\": \"Unicode-3.0\"}}]}")

if(HALYX_MLDSA_CHOSEN STREQUAL "openssl" AND NOT HALYX_SYSTEM_CRYPTO_FOUND)
  list(APPEND HALYX_NOTICE_FILES licenses/NOTICE-OpenSSL)
  # The prefix records the Debian package version (3.5.7-1~deb13u2); upstream's is its head.
  string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+[a-z]?" _halyx_ossl_version "${HALYX_CRYPTO_VERSION}")
  string(REGEX REPLACE " .*" "" _halyx_ossl_package "${HALYX_CRYPTO_VERSION}")
  list(APPEND _halyx_sbom_refs "openssl")
  string(APPEND _halyx_sbom_components ",
    {\"type\": \"library\", \"bom-ref\": \"openssl\", \"name\": \"OpenSSL\", \"version\": \"${_halyx_ossl_version}\",
     \"description\": \"libcrypto, linked statically, built from Debian's source package ${_halyx_ossl_package}\",
     \"licenses\": [{\"license\": {\"id\": \"Apache-2.0\"}}],
     \"cpe\": \"cpe:2.3:a:openssl:openssl:${_halyx_ossl_version}:*:*:*:*:*:*:*\"}")
endif()
if(HALYX_MLDSA_CHOSEN STREQUAL "liboqs")
  get_target_property(_halyx_oqs_type OQS::oqs TYPE)
  if(_halyx_oqs_type STREQUAL "STATIC_LIBRARY")
    list(APPEND HALYX_NOTICE_FILES licenses/LICENSE-liboqs)
    string(APPEND HALYX_LICENSE_EXPRESSION " AND MIT")
    list(APPEND _halyx_sbom_refs "liboqs")
    string(APPEND _halyx_sbom_components ",
    {\"type\": \"library\", \"bom-ref\": \"liboqs\", \"name\": \"liboqs\", \"version\": \"${liboqs_VERSION}\",
     \"description\": \"linked statically\", \"licenses\": [{\"license\": {\"id\": \"MIT\"}}],
     \"cpe\": \"cpe:2.3:a:openquantumsafe:liboqs:${liboqs_VERSION}:*:*:*:*:*:*:*\"}")
  endif()
endif()

list(TRANSFORM HALYX_NOTICE_FILES PREPEND "${PROJECT_SOURCE_DIR}/" OUTPUT_VARIABLE _halyx_notice_paths)
install(FILES ${_halyx_notice_paths} DESTINATION "${CMAKE_INSTALL_DOCDIR}")

list(JOIN HALYX_NOTICE_FILES "\", \"" _halyx_notice_json)
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/notices.json" CONTENT
     "{\"license\": \"${HALYX_LICENSE_EXPRESSION}\", \"files\": [\"${_halyx_notice_json}\"]}\n")

# No timestamp and no serial number: the same build gives the same bytes.
list(JOIN _halyx_sbom_refs "\", \"" _halyx_sbom_refs_json)
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/halyx_verifier.cdx.json" CONTENT "{
  \"bomFormat\": \"CycloneDX\",
  \"specVersion\": \"1.6\",
  \"version\": 1,
  \"metadata\": {
    \"component\": {\"type\": \"library\", \"bom-ref\": \"halyx-verifier\", \"name\": \"halyx-verifier\",
      \"version\": \"${PROJECT_VERSION}\", \"purl\": \"pkg:pypi/halyx-verifier@${PROJECT_VERSION}\",
      \"licenses\": [{\"expression\": \"${HALYX_LICENSE_EXPRESSION}\"}]}
  },
  \"components\": [
${_halyx_sbom_components}
  ],
  \"dependencies\": [
    {\"ref\": \"halyx-verifier\", \"dependsOn\": [\"${_halyx_sbom_refs_json}\"]}
  ]
}
")

if(SKBUILD)
  set(_halyx_library_notices ${_halyx_notice_paths})
  list(FILTER _halyx_library_notices INCLUDE REGEX "/licenses/[^/]+$")
  if(_halyx_library_notices)
    install(FILES ${_halyx_library_notices} DESTINATION "${SKBUILD_METADATA_DIR}/licenses/licenses" COMPONENT python)
  endif()
  install(FILES "${PROJECT_BINARY_DIR}/halyx_verifier.cdx.json" DESTINATION "${SKBUILD_METADATA_DIR}/sboms"
          COMPONENT python)
endif()
