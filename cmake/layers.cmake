# The build's layers: each part of the library is a target that sees the headers of the layers it
# links and of nothing above it, so a layer that includes a header from a higher one fails to
# compile. Headers are included as <halyx/LAYER/NAME.hpp> (dcbor's as <halyx/dcbor/NAME.hpp>, the
# core's top-level ones as <halyx/NAME.hpp>). A layer's headers live in two places: the public ones,
# which `cmake --install` installs, in halyx-core/include/halyx/LAYER, the private ones beside the
# sources in halyx-core/src/LAYER. Each target gets a folder in the build tree, layers/TARGET,
# holding a link halyx/LAYER/NAME.hpp to each of its own headers, wherever it lives, and nothing
# else: the include folder itself is on no target's path, so a public header of a higher layer is
# as far out of reach as a private one.
#
#   dcbor                     dcbor/src                          (nothing)
#   halyx_bytes               bytes.hpp                          (nothing)
#   halyx_cpu                 cpu                                (nothing)
#   halyx_digest              digest                             halyx_bytes, halyx_cpu
#   halyx_serialization       serialization                      dcbor, halyx_bytes
#   halyx_mldsa               mldsa/**                           halyx_cpu
#   halyx_signing             signing                            halyx_mldsa, halyx_serialization, halyx_digest
#   halyx_merkle              merkle                             halyx_serialization, halyx_digest
#   halyx_core                *.hpp, src/*.cpp                   halyx_signing, halyx_merkle; the library
#                                                                others link
#
# Above them, the Python binding and the command-line verifier link halyx_core.

# halyx_stage_headers(TARGET NAME|PATH...): makes each header PATH includable as <halyx/NAME> by
# TARGET and by everything that links it. TARGET's folder holds exactly these links: one left by a
# header since moved or removed (or a whole-folder link of an older build tree) is taken away, so a
# build tree never sees more than the sources hold.
function(halyx_stage_headers target)
  set(stage "${PROJECT_BINARY_DIR}/layers/${target}")
  set(names "")
  set(links "")
  foreach(entry IN LISTS ARGN)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    if(name IN_LIST names)
      message(FATAL_ERROR "<halyx/${name}> of ${target} is both in halyx-core/include and halyx-core/src")
    endif()
    list(APPEND names "${name}")
    list(APPEND links "${stage}/halyx/${name}")
  endforeach()
  file(GLOB_RECURSE present "${stage}/halyx/*")
  foreach(link IN LISTS present)
    if(NOT link IN_LIST links)
      file(REMOVE "${link}")
    endif()
  endforeach()
  foreach(entry IN LISTS ARGN)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 source)
    set(link "${stage}/halyx/${name}")
    get_filename_component(parent "${link}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    if(IS_SYMLINK "${link}")
      file(READ_SYMLINK "${link}" current)
      if(NOT current STREQUAL source)
        file(REMOVE "${link}")
      endif()
    endif()
    if(NOT IS_SYMLINK "${link}")
      file(CREATE_LINK "${source}" "${link}" SYMBOLIC)
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE "$<BUILD_INTERFACE:${stage}>")
  else()
    target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${stage}>")
  endif()
endfunction()

# halyx_headers(OUT ROOT PATTERN NAME_PREFIX): the files ROOT/PATTERN, searched in ROOT's
# subfolders too unless PATTERN names the top level (*.hpp), as NAME|PATH entries for
# halyx_stage_headers, NAME being NAME_PREFIX followed by the path below ROOT. A header added to
# the folder makes the build configure again.
function(halyx_headers out root pattern prefix)
  if(pattern MATCHES "/")
    file(GLOB_RECURSE found CONFIGURE_DEPENDS "${root}/${pattern}")
  else()
    file(GLOB found CONFIGURE_DEPENDS "${root}/${pattern}")
  endif()
  set(entries "")
  foreach(path IN LISTS found)
    file(RELATIVE_PATH name "${root}" "${path}")
    list(APPEND entries "${prefix}${name}|${path}")
  endforeach()
  set(${out} ${entries} PARENT_SCOPE)
endfunction()

# halyx_core_headers(OUT PATTERN): the core's headers that PATTERN names (relative to halyx/, as
# for halyx_headers), public and private together.
function(halyx_core_headers out pattern)
  halyx_headers(public "${PROJECT_SOURCE_DIR}/halyx-core/include/halyx" "${pattern}" "")
  halyx_headers(private "${PROJECT_SOURCE_DIR}/halyx-core/src" "${pattern}" "")
  set(${out} ${public} ${private} PARENT_SCOPE)
endfunction()

# halyx_layer(TARGET FOLDER [SOURCES...]): an object library of halyx-core/src/FOLDER's sources (all
# *.cpp in it and its subfolders unless SOURCES are given), its headers, public and private, staged
# as <halyx/FOLDER/...>, a subfolder's as <halyx/FOLDER/SUB/...>.
function(halyx_layer target folder)
  set(dir "${PROJECT_SOURCE_DIR}/halyx-core/src/${folder}")
  set(sources ${ARGN})
  if(NOT sources)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  endif()
  add_library(${target} OBJECT ${sources})
  halyx_core_headers(headers "${folder}/*.hpp")
  halyx_stage_headers(${target} ${headers})
  target_link_libraries(${target} PRIVATE halyx_warnings)
endfunction()
