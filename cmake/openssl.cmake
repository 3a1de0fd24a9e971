# Provides the imported target halyx::crypto (libcrypto 3.5 or newer) where HALYX_NEED_CRYPTO says
# something needs it: the OpenSSL ML-DSA-65 backend, or the tests that use it as their oracle
# (HALYX_TEST_WITH_OPENSSL), the fuzz targets or the benchmarks.
# When the system's libcrypto is too old, or HALYX_BUNDLE_DEPS asks for a module that carries its
# own, OpenSSL 3.5 is built once from Debian 13's source package into a private prefix under
# HALYX_DEPS_CACHE and linked statically, with its symbols kept out of the module's exports. The
# prefix is named after a hash of the recipe, so a changed recipe never reuses an old build.
if(NOT HALYX_NEED_CRYPTO)
  message(STATUS "ML-DSA-65 backend: ${HALYX_MLDSA_CHOSEN}; no libcrypto needed")
  return()
endif()
set(_halyx_crypto_min 3.5)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND AND NOT HALYX_BUNDLE_DEPS)
  pkg_check_modules(HALYX_SYSTEM_CRYPTO QUIET IMPORTED_TARGET "libcrypto>=${_halyx_crypto_min}")
endif()

if(HALYX_SYSTEM_CRYPTO_FOUND)
  add_library(halyx::crypto ALIAS PkgConfig::HALYX_SYSTEM_CRYPTO)
  set(HALYX_CRYPTO_VERSION "${HALYX_SYSTEM_CRYPTO_VERSION} (system)")
else()
  # The sdist leaves the recipe out: the default build needs no OpenSSL, and a pip build should
  # never reach for apt and the network. From there, the OpenSSL backend takes the system's.
  if(NOT EXISTS "${PROJECT_SOURCE_DIR}/scripts/build-openssl.sh")
    # When only the tests want it, they are built without the ones that compare with OpenSSL.
    if(NOT HALYX_MLDSA_CHOSEN STREQUAL "openssl" AND NOT HALYX_BUILD_FUZZERS AND NOT HALYX_BUILD_BENCHMARKS)
      message(WARNING "OpenSSL >= ${_halyx_crypto_min} was not found, and this source tree has no "
                      "scripts/build-openssl.sh to build it: the tests that compare with OpenSSL are left out")
      message(STATUS "ML-DSA-65 backend: ${HALYX_MLDSA_CHOSEN}; no libcrypto, so no tests against OpenSSL")
      return()
    endif()
    message(FATAL_ERROR "OpenSSL >= ${_halyx_crypto_min} is needed (the OpenSSL backend, or the tests) but "
                        "was not found, and this source tree has no scripts/build-openssl.sh to build it: "
                        "install OpenSSL ${_halyx_crypto_min} or newer with its development files and "
                        "configure with -DHALYX_BUNDLE_DEPS=OFF, or build from the repository")
  endif()
  file(SHA256 "${PROJECT_SOURCE_DIR}/scripts/build-openssl.sh" _halyx_recipe_hash)
  # An edited recipe re-runs configure, so that even a plain `cmake --build` moves to the new prefix
  # instead of linking the library the old recipe built.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/scripts/build-openssl.sh")
  string(SUBSTRING "${_halyx_recipe_hash}" 0 12 _halyx_recipe_hash)
  set(_halyx_prefix "${HALYX_DEPS_CACHE}/openssl-3.5-${_halyx_recipe_hash}")
  # Several build trees may configure at once; one builds, the others wait for its result.
  file(MAKE_DIRECTORY "${HALYX_DEPS_CACHE}")
  file(LOCK "${HALYX_DEPS_CACHE}/openssl.lock" TIMEOUT 3600)
  if(NOT EXISTS "${_halyx_prefix}/.complete")
    message(STATUS "libcrypto >= ${_halyx_crypto_min} not found on the system; building OpenSSL 3.5 into ${_halyx_prefix}")
    string(TIMESTAMP _halyx_started "%s")
    execute_process(COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/build-openssl.sh" "${_halyx_prefix}"
                    RESULT_VARIABLE _halyx_rc)
    if(NOT _halyx_rc EQUAL 0)
      message(FATAL_ERROR "building OpenSSL 3.5 failed (scripts/build-openssl.sh); where only the tests need "
                          "it, -DHALYX_TEST_WITH_OPENSSL=OFF builds them without the ones that compare with OpenSSL")
    endif()
    string(TIMESTAMP _halyx_finished "%s")
    math(EXPR _halyx_seconds "${_halyx_finished} - ${_halyx_started}")
    message(STATUS "OpenSSL 3.5 fetched and built in ${_halyx_seconds} s")
  endif()
  file(LOCK "${HALYX_DEPS_CACHE}/openssl.lock" RELEASE)
  file(STRINGS "${_halyx_prefix}/.complete" _halyx_built_version LIMIT_COUNT 1)
  add_library(halyx::crypto STATIC IMPORTED GLOBAL)
  set_target_properties(halyx::crypto PROPERTIES
    IMPORTED_LOCATION "${_halyx_prefix}/lib/libcrypto.a"
    INTERFACE_INCLUDE_DIRECTORIES "${_halyx_prefix}/include"
    INTERFACE_LINK_LIBRARIES Threads::Threads)
  set(HALYX_CRYPTO_VERSION "${_halyx_built_version} (static, built from Debian's source package)")
endif()

if(HALYX_MLDSA_CHOSEN STREQUAL "openssl")
  message(STATUS "ML-DSA-65 backend: OpenSSL libcrypto ${HALYX_CRYPTO_VERSION}")
elseif(HALYX_MLDSA_CHOSEN STREQUAL "liboqs")
  message(STATUS "ML-DSA-65 backend: liboqs ${liboqs_VERSION}; OpenSSL ${HALYX_CRYPTO_VERSION} for the tests")
else()
  message(STATUS "ML-DSA-65 backend: native; OpenSSL ${HALYX_CRYPTO_VERSION} for the tests")
endif()
