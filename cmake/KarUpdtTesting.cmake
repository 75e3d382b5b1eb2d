# Test helpers shared by every module.
#
# In the Windows build each test program runs under Wine through scripts/wine-run.sh, in a Wine prefix
# that lives inside the build tree (created once by the test fixture "wineprefix"). Natively, test
# programs run directly. In the fuzz build no GoogleTest programs are made.

set(KARUPDT_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(KARUPDT_WINE_RUN "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh")

if(NOT KARUPDT_FUZZ AND NOT TARGET GTest::gtest_main)
  set(KARUPDT_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources (Debian package googletest)")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KARUPDT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gtest ALIAS gtest)
  endif()
endif()

# karupdt_add_gtest(NAME <name> SOURCES <files...> [LIBS <libs...>] [SERIAL] [TIMEOUT <s>])
#   SERIAL: the program touches fixed folders of the Wine prefix (C:\TALVERN, the Windows or
#           Program Files folder ...), so it never runs beside another SERIAL program.
function(karupdt_add_gtest)
  cmake_parse_arguments(T "SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(KARUPDT_FUZZ)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(WIN32)
    add_test(NAME ${T_NAME} COMMAND ${KARUPDT_WINE_RUN} $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES
      FIXTURES_REQUIRED wineprefix
      ENVIRONMENT "WINEPREFIX=${KARUPDT_WINEPREFIX}"
      TIMEOUT ${T_TIMEOUT})
    if(T_SERIAL)
      set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK wineprefix_fixed_folders)
    endif()
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()

# karupdt_add_fuzzer(NAME <name> SOURCES <files...> [LIBS <libs...>]): built only with KARUPDT_FUZZ.
function(karupdt_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT KARUPDT_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
