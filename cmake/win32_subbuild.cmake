# With the MinGW-w64 cross compiler at hand, the native build also builds
# tarvick.exe, so that one build and one ctest cover both platforms.
find_program(MINGW_CXX i686-w64-mingw32-g++)
find_program(WINE_PROGRAM wine)
set(TARVICK_WIN32_DIR ${CMAKE_BINARY_DIR}/win32)

function(add_windows_build name toolchain directory)
  include(ExternalProject)
  ExternalProject_Add(${name}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${directory}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${toolchain}
               -DCMAKE_BUILD_TYPE=Release -DTARVICK_TESTS=${TARVICK_TESTS}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${directory}/tarvick.exe)
endfunction()

if(MINGW_CXX)
  add_windows_build(win32 mingw-i686.cmake ${TARVICK_WIN32_DIR})
  set(TARVICK_EXE ${TARVICK_WIN32_DIR}/tarvick.exe)
endif()

# The Windows cases run the program that ships, the 32-bit one, under Wine.
# A host whose kernel runs no 32-bit programs cannot start 32-bit Wine at
# all; there they run the same sources built for 64-bit Windows under 64-bit
# Wine instead, so that the Windows code is still proven end to end.
set(TARVICK_TESTED_DIR ${TARVICK_WIN32_DIR})
if(WINE_PROGRAM)
  execute_process(COMMAND ${WINE_PROGRAM} --version RESULT_VARIABLE wine_status
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT wine_status EQUAL 0)
    find_program(MINGW64_CXX x86_64-w64-mingw32-g++)
    find_program(WINE64_PROGRAM wine64 PATHS /usr/lib/wine)
    set(WINE_PROGRAM "")
    if(MINGW_CXX AND MINGW64_CXX AND WINE64_PROGRAM)
      message(STATUS "32-bit Wine cannot start here: the Windows cases run the 64-bit build")
      set(TARVICK_TESTED_DIR ${CMAKE_BINARY_DIR}/win64)
      add_windows_build(win64 mingw-x86_64.cmake ${TARVICK_TESTED_DIR})
      set(WINE_PROGRAM ${WINE64_PROGRAM})
    endif()
  endif()
endif()
if(TARVICK_EXE)
  set(TARVICK_TESTED_EXE ${TARVICK_TESTED_DIR}/tarvick.exe)
endif()

if(TARVICK_REQUIRE_WINE AND (NOT MINGW_CXX OR NOT WINE_PROGRAM))
  message(FATAL_ERROR "The Windows program must be tested here, but MinGW-w64 "
                      "(${MINGW_CXX}) or a Wine that starts (${WINE_PROGRAM}) is missing")
endif()
