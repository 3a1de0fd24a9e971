# The build's layers: each part of the library is a target that sees the headers of the layers it
# links and of nothing above it, so a layer that includes a header from a higher one fails to
# compile. Headers are included as <halyx/LAYER/NAME.hpp> (dcbor's as <halyx/dcbor/NAME.hpp>, the
# core's top-level ones as <halyx/NAME.hpp>): the source folders have no halyx/ level of their own,
# so each target gets a folder in the build tree holding one link, halyx/LAYER, to its sources.
#
#   dcbor                     dcbor/src                          (nothing)
#   halyx_bytes               halyx-core/src/bytes.hpp           (nothing)
#   halyx_cpu                 halyx-core/src/cpu                 (nothing)
#   halyx_digest              halyx-core/src/digest              halyx_bytes, halyx_cpu
#   halyx_serialization       halyx-core/src/serialization       dcbor, halyx_bytes
#   halyx_mldsa               halyx-core/src/mldsa/**            halyx_cpu
#   halyx_signing             halyx-core/src/signing             halyx_mldsa, halyx_serialization, halyx_digest
#   halyx_merkle              halyx-core/src/merkle              halyx_serialization, halyx_digest
#   halyx_core                halyx-core/src/*.{hpp,cpp}         halyx_signing, halyx_merkle; the library
#                                                                others link
#
# Above them, the Python binding and the command-line verifier link halyx_core.

# halyx_stage_headers(TARGET SOURCE NAME): makes SOURCE (a folder, or one header) includable as
# <halyx/NAME> by TARGET and by everything that links it.
function(halyx_stage_headers target source name)
  set(stage "${PROJECT_BINARY_DIR}/layers/${target}")
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
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE "$<BUILD_INTERFACE:${stage}>")
  else()
    target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${stage}>")
  endif()
endfunction()

# halyx_layer(TARGET FOLDER [SOURCES...]): an object library of FOLDER's sources (all *.cpp in it
# and its subfolders unless SOURCES are given), its headers staged as <halyx/FOLDER/...>, a
# subfolder's as <halyx/FOLDER/SUB/...>.
function(halyx_layer target folder)
  set(dir "${PROJECT_SOURCE_DIR}/halyx-core/src/${folder}")
  set(sources ${ARGN})
  if(NOT sources)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  endif()
  add_library(${target} OBJECT ${sources})
  halyx_stage_headers(${target} "${dir}" "${folder}")
  target_link_libraries(${target} PRIVATE halyx_warnings)
endfunction()
