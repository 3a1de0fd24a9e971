# Chooses the implementation behind the ML-DSA-65 handle. All implement the same handle and must
# give identical results; only their speed and what they need to build differ.
#   auto    the project's own verifier (native)
#   native  the project's own verifier (halyx-core/src/mldsa): no library at all
#   liboqs  liboqs, or a configure error
#   openssl OpenSSL >= 3.5
if(HALYX_MLDSA_BACKEND STREQUAL "auto")
  set(HALYX_MLDSA_CHOSEN native)
elseif(HALYX_MLDSA_BACKEND MATCHES "^(native|liboqs|openssl)$")
  set(HALYX_MLDSA_CHOSEN "${HALYX_MLDSA_BACKEND}")
else()
  message(FATAL_ERROR "HALYX_MLDSA_BACKEND must be auto, native, liboqs or openssl, not '${HALYX_MLDSA_BACKEND}'")
endif()

if(HALYX_MLDSA_CHOSEN STREQUAL "liboqs")
  find_package(liboqs 0.12 CONFIG QUIET)
  if(NOT liboqs_FOUND)
    message(FATAL_ERROR "HALYX_MLDSA_BACKEND=liboqs, but no liboqs >= 0.12 CMake package was found "
                        "(set liboqs_DIR or CMAKE_PREFIX_PATH)")
  endif()
  # A wheel must not need a liboqs on the user's system: take only a static one, whose symbols the
  # module's version script then hides.
  if(HALYX_BUNDLE_DEPS)
    get_target_property(_halyx_oqs_type OQS::oqs TYPE)
    if(NOT _halyx_oqs_type STREQUAL "STATIC_LIBRARY")
      message(FATAL_ERROR "HALYX_BUNDLE_DEPS needs a static liboqs, but OQS::oqs is a ${_halyx_oqs_type}; "
                          "build liboqs with -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON")
    endif()
  endif()
endif()

# The native verifier's code path: the best the CPU has (auto), or one pinned for the whole build.
# A pinned path the CPU lacks falls back to the portable one at run time.
if(NOT HALYX_MLDSA_PATH MATCHES "^(auto|portable|avx2|avx512|neon|neon_sha3)$")
  message(FATAL_ERROR "HALYX_MLDSA_PATH must be auto, portable, avx2, avx512, neon or neon_sha3, not '${HALYX_MLDSA_PATH}'")
endif()

# libcrypto is linked into the core only for the OpenSSL backend. Some tests use OpenSSL 3.5 as the
# oracle the native verifier is compared with, so building them needs it too; without
# HALYX_TEST_WITH_OPENSSL the other tests build and run with no OpenSSL at all.
set(HALYX_NEED_CRYPTO OFF)
if(HALYX_MLDSA_CHOSEN STREQUAL "openssl" OR (HALYX_BUILD_TESTS AND HALYX_TEST_WITH_OPENSSL) OR HALYX_BUILD_FUZZERS
   OR HALYX_BUILD_BENCHMARKS)
  set(HALYX_NEED_CRYPTO ON)
endif()
