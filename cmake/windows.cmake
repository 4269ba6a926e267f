# The Windows build: the launcher, its unit tests and the test-support programs.
enable_language(RC)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601 WINVER=0x0601)
# One self-contained executable: no libstdc++, libgcc or winpthread DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

configure_file(src/launch/build_config.h.in ${CMAKE_BINARY_DIR}/generated/build_config.h @ONLY)
configure_file(src/resources/version.rc.in ${CMAKE_BINARY_DIR}/generated/version.rc @ONLY)
configure_file(src/resources/launcher.manifest ${CMAKE_BINARY_DIR}/generated/launcher.manifest COPYONLY)

add_library(varnix_core STATIC
    src/platform/text.cpp
    src/platform/fs.cpp
    src/platform/log.cpp
    src/launch/command_line.cpp
    src/launch/dialogs.cpp
    src/launch/app_launch.cpp
    src/launch/main_sequence.cpp
    src/packages/rollback.cpp
)
target_include_directories(varnix_core PUBLIC src ${CMAKE_BINARY_DIR}/generated)
target_compile_options(varnix_core PRIVATE ${VARNIX_WARNINGS})
target_link_libraries(varnix_core PUBLIC varnix_portable bcrypt shell32 user32)

add_executable(VarnixLauncher WIN32 src/launch/main.cpp ${CMAKE_BINARY_DIR}/generated/version.rc)
target_compile_options(VarnixLauncher PRIVATE ${VARNIX_WARNINGS})
target_link_options(VarnixLauncher PRIVATE -municode)
target_link_libraries(VarnixLauncher PRIVATE varnix_core)

# GoogleTest from Debian's source package, cross-compiled.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

add_subdirectory(tests/support)
add_subdirectory(tests/unit)
add_subdirectory(tests/e2e)
