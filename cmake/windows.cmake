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
configure_file(src/resources/version.rc.in ${CMAKE_BINARY_DIR}/generated/version.rc @ONLY)
configure_file(src/resources/launcher.manifest ${CMAKE_BINARY_DIR}/generated/launcher.manifest COPYONLY)

add_library(varnix_core STATIC
    src/platform/text.cpp
    src/platform/fs.cpp
    src/platform/log.cpp
    src/platform/job.cpp
    src/platform/named_mutex.cpp
    src/launch/command_line.cpp
    src/platform/dialogs.cpp
    src/launch/app_launch.cpp
    src/launch/main_sequence.cpp
    src/launch/recovery.cpp
    src/launch/restart_wait.cpp
    src/deps/handling.cpp
    src/net/http.cpp
    src/manifest/sha256.cpp
    src/manifest/load_manifest.cpp
    src/manifest/freshness_check.cpp
    src/packages/store.cpp
    src/packages/extraction.cpp
    src/packages/backup.cpp
    src/packages/install.cpp
    src/packages/rollback.cpp
    src/packages/required.cpp
)
target_include_directories(varnix_core PUBLIC src ${CMAKE_BINARY_DIR}/generated)
target_compile_options(varnix_core PRIVATE ${VARNIX_WARNINGS})
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
    target_compile_options(${target} PRIVATE ${VARNIX_WARNINGS})
endfunction()

function(varnix_add_launcher name host)
    varnix_site_config(${name}_site "${host}" ${ARGN})
    add_executable(${name} WIN32 src/launch/main.cpp ${CMAKE_BINARY_DIR}/generated/version.rc)
    target_compile_options(${name} PRIVATE ${VARNIX_WARNINGS})
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
endif()
if(VARNIX_TEST_FAULT_HOST)
    varnix_add_launcher(VarnixLauncherFaultSite "${VARNIX_TEST_FAULT_HOST}" SHORT_TIME_LIMITS)
endif()

# GoogleTest from Debian's source package, cross-compiled.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

add_subdirectory(sdk)
add_subdirectory(tests/support)
add_subdirectory(tests/unit)
add_subdirectory(tests/e2e)
add_subdirectory(tests/bench)

add_subdirectory(tests/sdk)
add_subdirectory(examples/minimal_app)
