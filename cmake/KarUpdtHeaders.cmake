# Each library's public headers are seen by the targets that link it, and by no other: a folder of
# the build tree for each library holds links to its public headers under the library's own name
# (include/karupdt_util/util/text.h -> src/util/text.h), and the library exports that folder alone.
# So a layer cannot include the headers of a layer above it, nor a library's private headers.
#
# karupdt_public_headers(<target> <prefix> [<header>...]): the headers, relative to the calling
# folder (without a list: every .h file there), become <prefix>/<name> for <target> and the
# targets that link it.
function(karupdt_public_headers target prefix)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(MAKE_DIRECTORY ${root}/${prefix})
  set(headers ${ARGN})
  if(NOT headers)
    file(GLOB headers RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  endif()
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${root}/${prefix}/${name} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
