# Linux and macOS: the program over our POSIX layer, which provides the
# Win32 names it is written against.
add_library(tarvick_posix STATIC
    posix/last_error.cpp
    posix/files.cpp
    posix/comm_io.cpp
    posix/comm_config.cpp
    posix/dcb_tty.cpp
    posix/build_comm_dcb.cpp)
if(APPLE)
  target_sources(tarvick_posix PRIVATE posix/tty_settings_bsd.cpp)
else()
  target_sources(tarvick_posix PRIVATE posix/tty_settings_linux.cpp)
endif()
target_include_directories(tarvick_posix PUBLIC posix/include PRIVATE posix)

add_library(tarvick_core STATIC ${TARVICK_CORE_SOURCES})
target_link_libraries(tarvick_core PUBLIC tarvick_posix)
add_executable(tarvick driver/main.cpp)
target_link_libraries(tarvick PRIVATE tarvick_core)
install(TARGETS tarvick RUNTIME DESTINATION bin)

if(TARVICK_WIN32)
  include(cmake/win32_subbuild.cmake)
endif()

if(TARVICK_FUZZ)
  enable_testing()
  add_subdirectory(fuzz)
endif()

if(TARVICK_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_subdirectory(testbed)
  add_subdirectory(tests)
  add_subdirectory(bench)
endif()
