# The Windows program, on the platform's own serial interface.
enable_language(RC)
configure_file(program/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/version.rc @ONLY)
configure_file(program/tarvick.exe.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/tarvick.exe.manifest
               @ONLY)
add_library(tarvick_core STATIC ${TARVICK_CORE_SOURCES} platform/platform_windows.cpp
                                 platform/record_files_windows.cpp
                                 platform/children_windows.cpp
                                 program/process_windows.cpp program/hints_windows.cpp
                                 devices/port_list_windows.cpp devices/port_watch_windows.cpp)
target_sources(tarvick_core PRIVATE platform/hash_windows.cpp)
target_link_libraries(tarvick_core PUBLIC setupapi cfgmgr32 advapi32 bcrypt)
# nlohmann's JSON is header-only: its folder alone joins the cross build, not
# the host's whole include folder.
find_path(NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json-include)
file(CREATE_LINK ${NLOHMANN_JSON_DIR}/nlohmann ${CMAKE_BINARY_DIR}/json-include/nlohmann SYMBOLIC)
target_include_directories(tarvick_core SYSTEM PUBLIC ${CMAKE_BINARY_DIR}/json-include)
add_executable(tarvick program/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/version.rc)
target_link_libraries(tarvick PRIVATE tarvick_core)
if(MINGW)
  # Static, so that it runs on a bare Windows without MinGW's DLLs.
  target_link_options(tarvick PRIVATE -static -static-libgcc -static-libstdc++)
  # The image is held whole in memory: on 64-bit Windows a 32-bit program
  # marked so may use 4 GiB of address space instead of 2.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(tarvick PRIVATE -Wl,--large-address-aware)
  endif()
endif()

# The .zip for Windows: the program, its manual page and the README.
install(TARGETS tarvick RUNTIME DESTINATION .)
install(FILES README.md man/tarvick.1 DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME tarvick-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

# The settings-syntax vectors against the platform's own BuildCommDCBA.
if(TARVICK_TESTS AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_executable(settings_syntax_test tests/unit/settings_syntax_test.cpp)
  target_link_libraries(settings_syntax_test PRIVATE gtest_main)
  target_link_options(settings_syntax_test PRIVATE -static -static-libgcc -static-libstdc++)
  add_executable(hold_file tests/e2e/hold_file.cpp)
  target_link_options(hold_file PRIVATE -static -static-libgcc -static-libstdc++)
endif()
