# The Windows build: the launcher, its unit tests and the test-support programs.
enable_language(RC)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601 WINVER=0x0601)
# One self-contained executable: no libstdc++, libgcc or winpthread DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

set(VARNIX_COMMIT "unknown" CACHE STRING "Commit the launcher is built from (version resource)")
option(VARNIX_REPRODUCIBLE "Keep build paths and time stamps out of the executable" OFF)
if(VARNIX_REPRODUCIBLE)
    add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=src -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
    add_link_options(-Wl,--no-insert-timestamp -s)
endif()

include(cmake/manifest_key.cmake)
varnix_embed_manifest_key("${VARNIX_MANIFEST_PUBLIC_KEY}" ${CMAKE_BINARY_DIR}/generated/manifest_key.h)

add_library(varnix_core STATIC
    src/platform/text.cpp
    src/platform/fs.cpp
    src/platform/log.cpp
    src/platform/job.cpp
    src/platform/named_mutex.cpp
    src/platform/process.cpp
    src/launch/command_line.cpp
    src/platform/dialogs.cpp
    src/launch/app_launch.cpp
    src/launch/main_sequence.cpp
    src/launch/recovery.cpp
    src/launch/restart_wait.cpp
    src/launch/self_update.cpp
    src/deps/handling.cpp
    src/net/http.cpp
    src/manifest/sha256.cpp
    src/manifest/load_manifest.cpp
    src/manifest/freshness_check.cpp
    src/packages/store.cpp
    src/packages/extraction.cpp
    src/packages/backup.cpp
    src/packages/archive_check.cpp
    src/packages/install.cpp
    src/packages/rollback.cpp
    src/packages/required.cpp
)
target_include_directories(varnix_core PUBLIC src ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(varnix_core PRIVATE varnix_warnings)
target_link_libraries(varnix_core PUBLIC varnix_portable winhttp bcrypt shell32 user32)

# The update site host and the time limits are compiled into one small unit per executable;
# a third argument SHORT_TIME_LIMITS gives a test build deadlines of seconds.
function(varnix_site_config target host)
    add_library(${target} OBJECT ${PROJECT_SOURCE_DIR}/src/platform/site_config.cpp)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_compile_definitions(${target} PRIVATE "VARNIX_UPDATE_HOST_TEXT=L\"${host}\"")
    if("SHORT_TIME_LIMITS" IN_LIST ARGN)
        target_compile_definitions(${target} PRIVATE VARNIX_SHORT_TIME_LIMITS)
    endif()
    target_link_libraries(${target} PRIVATE varnix_warnings)
endfunction()

# "a.b.c.d", each part 0-65535: what a version resource can hold.
function(varnix_check_launcher_version version)
    if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "VARNIX_LAUNCHER_VERSION: ${version} is not four numbers a.b.c.d")
    endif()
    foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
        if(part GREATER 65535)
            message(FATAL_ERROR "VARNIX_LAUNCHER_VERSION: ${version} has a part above 65535")
        endif()
    endforeach()
endfunction()

# varnix_add_launcher(NAME HOST [VERSION a.b.c.d] [SHORT_TIME_LIMITS]): each launcher carries its
# own version resource, so that a test build can stand for a newer release.
function(varnix_add_launcher name host)
    cmake_parse_arguments(PARSE_ARGV 2 LAUNCHER "" "VERSION" "")
    if(NOT LAUNCHER_VERSION)
        set(LAUNCHER_VERSION "${VARNIX_LAUNCHER_VERSION}")
    endif()
    varnix_check_launcher_version("${LAUNCHER_VERSION}")
    set(VARNIX_VERSION_TEXT "${LAUNCHER_VERSION}")
    string(REPLACE "." "," VARNIX_VERSION_COMMAS "${LAUNCHER_VERSION}")
    set(resource ${CMAKE_BINARY_DIR}/generated/${name}/version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/src/resources/version.rc.in ${resource} @ONLY)
    # The resource script names launcher.manifest beside itself.
    configure_file(${PROJECT_SOURCE_DIR}/src/resources/launcher.manifest
                   ${CMAKE_BINARY_DIR}/generated/${name}/launcher.manifest COPYONLY)
    varnix_site_config(${name}_site "${host}" ${LAUNCHER_UNPARSED_ARGUMENTS})
    add_executable(${name} WIN32 src/launch/main.cpp ${resource})
    target_link_libraries(${name} PRIVATE varnix_warnings)
    target_link_options(${name} PRIVATE -municode)
    target_link_libraries(${name} PRIVATE varnix_core ${name}_site)
endfunction()

varnix_add_launcher(VarnixLauncher "${VARNIX_UPDATE_HOST}")
# The same launcher pointed at a port where nothing listens (the tests' unreachable site) and at
# the scripted hostile site of the reliability tests; the bench (scripts/bench.sh) owns the ports.
set(VARNIX_TEST_UNREACHABLE_HOST "" CACHE STRING "Update host of the unreachable-site test build")
set(VARNIX_TEST_FAULT_HOST "" CACHE STRING "Update host of the hostile-site test build")
if(VARNIX_TEST_UNREACHABLE_HOST)
    varnix_add_launcher(VarnixLauncherUnreachableSite "${VARNIX_TEST_UNREACHABLE_HOST}")
    # The next release of the test launcher: the last part of the version one higher.
    string(REGEX MATCH "[0-9]+$" build_number "${VARNIX_LAUNCHER_VERSION}")
    math(EXPR build_number "${build_number} + 1")
    string(REGEX REPLACE "[0-9]+$" "${build_number}" newer_version "${VARNIX_LAUNCHER_VERSION}")
    varnix_add_launcher(VarnixLauncherNewer "${VARNIX_UPDATE_HOST}" VERSION "${newer_version}")
endif()
if(VARNIX_TEST_FAULT_HOST)
    varnix_add_launcher(VarnixLauncherFaultSite "${VARNIX_TEST_FAULT_HOST}" SHORT_TIME_LIMITS)
endif()

# The setup's helper: what the setup and the uninstaller leave to the launcher's own code (the
# process check, the target directory's checks, the removal that never follows a link).
add_executable(VarnixSetupHelper WIN32 src/setup/setup_helper.cpp src/setup/root_contents.cpp
                                       src/setup/target_directory.cpp)
target_link_options(VarnixSetupHelper PRIVATE -municode)
# The package store's paths come with the store's unit, which also builds download URLs: the
# helper never downloads, but links the host it would use.
varnix_site_config(VarnixSetupHelper_site "${VARNIX_UPDATE_HOST}")
target_link_libraries(VarnixSetupHelper PRIVATE varnix_core VarnixSetupHelper_site varnix_warnings
                                                ole32 uuid)

# The per-user setup (NSIS) around a launcher: VarnixSetup.exe carries the test launcher.
find_program(VARNIX_MAKENSIS makensis REQUIRED)
function(varnix_add_setup name launcher)
    set(output ${CMAKE_BINARY_DIR}/${name}.exe)
    add_custom_command(OUTPUT ${output}
        COMMAND ${VARNIX_MAKENSIS} -V2 -DLAUNCHER=$<TARGET_FILE:${launcher}>
                -DHELPER=$<TARGET_FILE:VarnixSetupHelper> -DOUTFILE=${output}
                ${PROJECT_SOURCE_DIR}/src/setup/VarnixSetup.nsi
        DEPENDS ${launcher} VarnixSetupHelper ${PROJECT_SOURCE_DIR}/src/setup/VarnixSetup.nsi
                ${PROJECT_SOURCE_DIR}/src/setup/helper_exit_codes.h
        COMMENT "Packing ${name}.exe" VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${output})
endfunction()
varnix_add_setup(VarnixSetup VarnixLauncher)

# GoogleTest from Debian's source package, cross-compiled.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# Not under test: built for a short compile rather than for speed or debugging.
target_compile_options(gtest PRIVATE -O0 -g0)
target_compile_options(gtest_main PRIVATE -O0 -g0)

add_subdirectory(sdk)
add_subdirectory(tests/support)
add_subdirectory(tests/unit)
add_subdirectory(tests/e2e)
add_subdirectory(tests/bench)

add_subdirectory(tests/sdk)
add_subdirectory(examples/minimal_app)
