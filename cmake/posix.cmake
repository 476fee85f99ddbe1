# Linux and macOS: the program over our POSIX layer, which provides the
# Win32 names it is written against.
add_library(tarvick_posix STATIC
    posix/handles.cpp
    posix/sleep.cpp
    posix/files.cpp
    posix/held_ports.cpp
    posix/driver_limits.cpp
    posix/divisors.cpp
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

add_library(tarvick_core STATIC ${TARVICK_CORE_SOURCES} platform/platform_posix.cpp
                                 platform/record_files_posix.cpp platform/children_posix.cpp
                                 program/process_posix.cpp program/hints_posix.cpp)
if(APPLE)
  target_sources(tarvick_core PRIVATE devices/port_list_bsd.cpp devices/port_watch_bsd.cpp
                                      platform/hash_commoncrypto.cpp)
  target_link_libraries(tarvick_core PUBLIC "-framework IOKit" "-framework CoreFoundation")
else()
  # SHA-256 by the platform's own library, OpenSSL's libcrypto, loaded when
  # a run keeps a record (the package depends on it).
  # A station's events come from libudev, loaded when a station starts.
  target_sources(tarvick_core PRIVATE devices/port_list_linux.cpp devices/port_watch_linux.cpp
                                      platform/hash_openssl.cpp)
  target_link_libraries(tarvick_core PUBLIC ${CMAKE_DL_LIBS})
endif()
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(tarvick_core PUBLIC tarvick_posix nlohmann_json::nlohmann_json)
add_executable(tarvick program/main.cpp)
target_link_libraries(tarvick PRIVATE tarvick_core)

include(GNUInstallDirs)
install(TARGETS tarvick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/tarvick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The .deb: the program and its manual page.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvick)
set(CPACK_PACKAGE_VENDOR "The tarvick developers")
set(CPACK_PACKAGE_CONTACT "The tarvick developers <tarvick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "${PROJECT_DESCRIPTION}\ntarvick opens a serial port, synchronizes with the target by a one-byte handshake, sends it a program image, and can feed it a text programming file line by line.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, libudev1")
include(CPack)

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
