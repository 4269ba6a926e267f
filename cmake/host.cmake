# The native build: portable code, its fast tests, and (later) the release engineers' tool.
find_package(GTest REQUIRED)
add_subdirectory(tests/unit)
add_subdirectory(tools/varnix-repo)
add_subdirectory(tests/tools)
