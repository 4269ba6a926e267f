# The native build: portable code, its fast tests, and (later) the release engineers' tool.
find_package(GTest REQUIRED)
add_subdirectory(tests/unit)
