# The native build: portable code, its fast tests, and the release engineers' tool.
# -DBUILD_TESTING=OFF builds the tool alone, without GoogleTest; `cmake --install` installs it.
option(BUILD_TESTING "Build and register the host tests" ON)
add_subdirectory(tools/varnix-repo)
if(BUILD_TESTING)
    find_package(GTest REQUIRED)
    add_subdirectory(tests/unit)
    add_subdirectory(tests/tools)
    # Two release builds of HEAD in different directories must be identical; signing must verify.
    add_test(NAME release_reproducible COMMAND ${CMAKE_SOURCE_DIR}/tests/release/test_release.sh)
    set_tests_properties(release_reproducible PROPERTIES TIMEOUT 900)
    # Authenticode signing with a CA chain and with a key in a token (SoftHSM); no build needed.
    add_test(NAME release_signing COMMAND ${CMAKE_SOURCE_DIR}/tests/release/test_signing.sh)
endif()
