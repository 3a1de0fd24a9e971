# halyx_add_gtests(TARGET): every test case of the GoogleTest program TARGET as a ctest test of its
# own, named as GoogleTest names it (Suite.Case, Suite/Case.Param/path), labelled with the
# program's name (ctest -L TARGET runs them all). A failure then names its case, and ctest -j
# spreads one program's cases over the cores. The cases are listed by running the program with
# --gtest_list_tests when ctest starts (again only once the program has changed), never at build
# time, so a cross build never runs what it builds. A cross build without an emulator to run its
# programs keeps one test per program.
include(GoogleTest)

function(halyx_add_gtests target)
  if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES LABELS ${target})
    return()
  endif()
  # Listing is quick, but a sanitized program on a loaded machine can take seconds to start.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES LABELS ${target})
endfunction()
