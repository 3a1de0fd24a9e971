# Chooses the library behind the ML-DSA-65 handle. Both backends implement the same handle and must
# give identical results; only their speed differs.
#   auto    liboqs when its CMake package (>= 0.12) is found, OpenSSL otherwise
#   liboqs  liboqs, or a configure error
#   openssl OpenSSL >= 3.5
if(NOT HALYX_MLDSA_BACKEND MATCHES "^(auto|liboqs|openssl)$")
  message(FATAL_ERROR "HALYX_MLDSA_BACKEND must be auto, liboqs or openssl, not '${HALYX_MLDSA_BACKEND}'")
endif()

set(HALYX_MLDSA_CHOSEN openssl)
if(HALYX_MLDSA_BACKEND STREQUAL "auto" OR HALYX_MLDSA_BACKEND STREQUAL "liboqs")
  find_package(liboqs 0.12 CONFIG QUIET)
  if(liboqs_FOUND)
    set(HALYX_MLDSA_CHOSEN liboqs)
  elseif(HALYX_MLDSA_BACKEND STREQUAL "liboqs")
    message(FATAL_ERROR "HALYX_MLDSA_BACKEND=liboqs, but no liboqs >= 0.12 CMake package was found "
                        "(set liboqs_DIR or CMAKE_PREFIX_PATH)")
  endif()
endif()
