# For the scripts that write a generated source at build time (cmake -P): the file is rewritten
# only when its content changes, so that an unchanged input recompiles and relinks nothing.
function(karupdt_write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()
