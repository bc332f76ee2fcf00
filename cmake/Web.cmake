# The browser build with emscripten (scripts/build-web.sh): the engine, the emulated device and the
# application layer compiled to WebAssembly, the windows drawn as a web page (ui/web) and the
# device reached through WebUSB (link/WebUsbLibrary). Included before the options, so that it can
# switch off what has no browser form: the GoogleTest and benchmark programs (the page is tested
# in a browser, tests/web), the fuzzers, the command-line tool and the packages.
if(NOT EMSCRIPTEN)
  return()
endif()

set(KORVANE_BUILD_TESTS OFF CACHE BOOL "Build the tests" FORCE)
set(KORVANE_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks" FORCE)
set(KORVANE_BUILD_FUZZ OFF CACHE BOOL "Build the libFuzzer targets (needs clang)" FORCE)
