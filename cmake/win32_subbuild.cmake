# With the MinGW-w64 cross compiler at hand, the native build also builds
# tarvick.exe, so that one build and one ctest cover both platforms.
find_program(MINGW_CXX i686-w64-mingw32-g++)
find_program(WINE_PROGRAM wine)
set(TARVICK_WIN32_DIR ${CMAKE_BINARY_DIR}/win32)

if(MINGW_CXX)
  include(ExternalProject)
  ExternalProject_Add(win32
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${TARVICK_WIN32_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
               -DCMAKE_BUILD_TYPE=Release -DTARVICK_TESTS=${TARVICK_TESTS}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${TARVICK_WIN32_DIR}/tarvick.exe)
  set(TARVICK_EXE ${TARVICK_WIN32_DIR}/tarvick.exe)
endif()

if(TARVICK_REQUIRE_WINE AND (NOT MINGW_CXX OR NOT WINE_PROGRAM))
  message(FATAL_ERROR "The Windows program must be tested here, but MinGW-w64 "
                      "(${MINGW_CXX}) or Wine (${WINE_PROGRAM}) is missing")
endif()
