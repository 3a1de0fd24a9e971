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

# A wheel must not need a liboqs on the user's system: take only a static one, whose symbols the
# module's version script then hides like libcrypto's.
if(HALYX_MLDSA_CHOSEN STREQUAL "liboqs" AND HALYX_BUNDLE_DEPS)
  get_target_property(_halyx_oqs_type OQS::oqs TYPE)
  if(NOT _halyx_oqs_type STREQUAL "STATIC_LIBRARY")
    message(FATAL_ERROR "HALYX_BUNDLE_DEPS needs a static liboqs, but OQS::oqs is a ${_halyx_oqs_type}; "
                        "build liboqs with -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON")
  endif()
endif()
