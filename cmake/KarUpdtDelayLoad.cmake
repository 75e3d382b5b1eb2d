# System DLLs that are not among the KnownDLLs of Windows (version, lz32, bcrypt, comctl32) are
# delay-loaded: imported directly, Windows would look for them in the program's own folder before
# the program's first line runs, and a DLL of that name saved beside KarUpdt.exe would run with its
# rights. Delay-loaded, each is loaded at its first call, after wWinMain has restricted the DLL
# search to the System folder. cmake/delayload/<dll>.def lists the functions the program calls.
#
# karupdt_delay_loaded(<dll>) makes the interface target karupdt_delay_<dll> to link instead of
# the DLL's import library.
function(karupdt_delay_loaded dll)
  set(target karupdt_delay_${dll})
  if(TARGET ${target})
    return()
  endif()
  add_library(${target} INTERFACE)
  if(MSVC)
    target_link_libraries(${target} INTERFACE ${dll} delayimp)
    target_link_options(${target} INTERFACE /DELAYLOAD:${dll}.dll)
    return()
  endif()
  if(NOT KARUPDT_DLLTOOL)
    find_program(KARUPDT_DLLTOOL NAMES ${KARUPDT_TRIPLE}-dlltool dlltool REQUIRED)
  endif()
  set(def ${PROJECT_SOURCE_DIR}/cmake/delayload/${dll}.def)
  set(lib ${PROJECT_BINARY_DIR}/delayload/lib${dll}_delay.a)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # 64-bit names carry no argument size.
    file(READ ${def} text)
    string(REGEX REPLACE "@[0-9]+" "" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/delayload/${dll}.def "${text}")
    set(def ${PROJECT_BINARY_DIR}/delayload/${dll}.def)
  endif()
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/delayload
    COMMAND ${KARUPDT_DLLTOOL} --def ${def} --dllname ${dll}.dll --kill-at --output-delaylib ${lib}
    DEPENDS ${def}
    COMMENT "Delay-load import library of ${dll}.dll"
    VERBATIM)
  add_custom_target(${target}_lib DEPENDS ${lib})
  add_dependencies(${target} ${target}_lib)
  target_link_libraries(${target} INTERFACE ${lib})
endfunction()
