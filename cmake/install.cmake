# What `cmake --install` puts under the prefix, so that C++ programs can link the verification core
# with find_package(halyx CONFIG) and the imported target halyx::core:
#
#   bin/halyx-verify                        the command-line verifier (halyx-cli/)
#   include/halyx/                          the public headers, halyx-core/include/halyx/ as it is
#                                           (HALYX_PUBLIC_HEADERS): <halyx/verification.hpp> and those
#                                           it and the decoders' headers include
#   lib/halyx/libhalyx_core.a, libdcbor.a   the static libraries
#   lib/halyx/libhalyx_crypto.a             libcrypto, with the OpenSSL backend when the project built it
#   lib/cmake/halyx/halyxConfig.cmake       the package, and its version file
#   lib/pkgconfig/halyx.pc                  the same for pkg-config
#   share/man/man1/halyx-verify.1           the manual page, when help2man was found
#   share/doc/halyx_verifier/               the licence and the notices of what the above contains
#                                           (cmake/notices.cmake)
#
# The libraries sit in a folder of their own, and the libcrypto the project built is renamed, so
# none of them can be mistaken for a system library of the same name. Only public headers are
# installed, and they include one another as <halyx/...>: a consumer needs one include directory,
# and a header of its own with a generic name can never stand in for one of ours.
include(CMakePackageConfigHelpers)

set(HALYX_INSTALL_LIBDIR "${CMAKE_INSTALL_LIBDIR}/halyx")
set(HALYX_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/halyx")

install(TARGETS halyx_core dcbor ARCHIVE DESTINATION "${HALYX_INSTALL_LIBDIR}")
include(cmake/notices.cmake)
foreach(header IN LISTS HALYX_PUBLIC_HEADERS)
  get_filename_component(folder "${header}" DIRECTORY)
  install(FILES "${PROJECT_SOURCE_DIR}/halyx-core/include/halyx/${header}"
          DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/halyx/${folder}")
endforeach()

# How the package finds libcrypto, which only the OpenSSL backend links. A system library (3.5 or
# newer) is looked up again where the package is used; the one built under .cache/ goes into the
# prefix, since a build tree is no place for an installed package to point at.
set(HALYX_PACKAGE_CRYPTO "none")
if(HALYX_MLDSA_CHOSEN STREQUAL "openssl")
  if(HALYX_SYSTEM_CRYPTO_FOUND)
    set(HALYX_PACKAGE_CRYPTO "system")
  else()
    set(HALYX_PACKAGE_CRYPTO "bundled")
    install(FILES "$<TARGET_FILE:halyx::crypto>" DESTINATION "${HALYX_INSTALL_LIBDIR}" RENAME libhalyx_crypto.a)
  endif()
endif()
set(HALYX_PACKAGE_CRYPTO_MIN "3.5")
set(HALYX_PACKAGE_LIBOQS_DIR "")
if(HALYX_MLDSA_CHOSEN STREQUAL "liboqs")
  set(HALYX_PACKAGE_LIBOQS_DIR "${liboqs_DIR}")
endif()
# Objects built with the sanitizers need their runtimes wherever they are linked.
set(HALYX_PACKAGE_LINK_OPTIONS "")
if(HALYX_SANITIZE)
  set(HALYX_PACKAGE_LINK_OPTIONS "-fsanitize=address,undefined")
elseif(HALYX_TSAN)
  set(HALYX_PACKAGE_LINK_OPTIONS "-fsanitize=thread")
endif()

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/halyxConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/halyxConfig.cmake"
                              INSTALL_DESTINATION "${HALYX_INSTALL_CMAKEDIR}")
# Before 1.0 a minor release may change the interface, so only the same minor version matches.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/halyxConfigVersion.cmake"
                                 COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/halyxConfig.cmake" "${PROJECT_BINARY_DIR}/halyxConfigVersion.cmake"
        DESTINATION "${HALYX_INSTALL_CMAKEDIR}")

# The same for pkg-config (lib/pkgconfig/halyx.pc). Static libraries carry no dependencies of
# their own, so the file lists them: the bundled libcrypto by name, a system one or liboqs through
# their own pkg-config files.
set(HALYX_PC_REQUIRES "")
set(HALYX_PC_LIBS "")
if(HALYX_PACKAGE_CRYPTO STREQUAL "system")
  set(HALYX_PC_REQUIRES "libcrypto >= ${HALYX_PACKAGE_CRYPTO_MIN}")
elseif(HALYX_PACKAGE_CRYPTO STREQUAL "bundled")
  set(HALYX_PC_LIBS "-lhalyx_crypto")
endif()
if(HALYX_MLDSA_CHOSEN STREQUAL "liboqs")
  set(HALYX_PC_REQUIRES "liboqs")
endif()
# From lib/pkgconfig (or lib/<triplet>/pkgconfig) back up to the prefix.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  message(FATAL_ERROR "halyx.pc needs CMAKE_INSTALL_LIBDIR relative to the prefix, got ${CMAKE_INSTALL_LIBDIR}")
endif()
string(REGEX REPLACE "[^/]+" ".." HALYX_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file("${PROJECT_SOURCE_DIR}/cmake/halyx.pc.in" "${PROJECT_BINARY_DIR}/halyx.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/halyx.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# Installs into a scratch prefix, checks its notices, then configures, builds and runs
# examples/consumer against it on the sample, next to the installed halyx-verify, once through
# find_package and once through pkg-config.
if(HALYX_BUILD_TESTS)
  find_package(Python3 3.11 REQUIRED COMPONENTS Interpreter)
  add_test(NAME install_and_link_consumer
           COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
                   "-DWORK_DIR=${PROJECT_BINARY_DIR}/install-test"
                   "-DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/examples/consumer"
                   "-DSAMPLE_DIR=${PROJECT_SOURCE_DIR}/examples/sample"
                   "-DPUBLIC_DIR=${PROJECT_SOURCE_DIR}/halyx-core/include"
                   "-DGENERATOR=${CMAKE_GENERATOR}" "-DCXX=${CMAKE_CXX_COMPILER}"
                   "-DLIBDIR=${CMAKE_INSTALL_LIBDIR}" "-DMANDIR=${CMAKE_INSTALL_MANDIR}"
                   "-DEXPECT_MAN_PAGE=$<BOOL:${HALYX_MAN_PAGE}>" "-DPYTHON=${Python3_EXECUTABLE}"
                   -P "${PROJECT_SOURCE_DIR}/cmake/check_install.cmake")
endif()
