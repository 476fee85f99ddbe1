# The Windows program, on the platform's own serial interface.
add_library(tarvick_core STATIC ${TARVICK_CORE_SOURCES})
add_executable(tarvick driver/main.cpp)
target_link_libraries(tarvick PRIVATE tarvick_core)
if(MINGW)
  # Static, so that it runs on a bare Windows without MinGW's DLLs.
  target_link_options(tarvick PRIVATE -static -static-libgcc -static-libstdc++)
endif()

# The settings-syntax vectors against the platform's own BuildCommDCBA.
if(TARVICK_TESTS AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_executable(settings_syntax_test tests/unit/settings_syntax_test.cpp)
  target_link_libraries(settings_syntax_test PRIVATE gtest_main)
  target_link_options(settings_syntax_test PRIVATE -static -static-libgcc -static-libstdc++)
endif()
