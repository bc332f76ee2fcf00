# The Windows build, cross-built with mingw-w64 (cmake/mingw-w64-i686.cmake): 32-bit programs
# linked statically, so that no runtime DLL has to lie beside them. Header-only CLI11 and
# nlohmann-json and the GoogleTest sources come from the build machine's packages. Included before the options, so
# that it can switch off what has no Windows form.
if(NOT WIN32)
  return()
endif()

add_link_options(-static $<$<CONFIG:Release,MinSizeRel>:-s>)
# Windows headers: the wide-character API, no min/max macros, Windows 7 and later.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

# Benchmarks and fuzzers stay on the build machine.
set(KORVANE_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks" FORCE)
set(KORVANE_BUILD_FUZZ OFF CACHE BOOL "Build the libFuzzer targets (needs clang)" FORCE)

# Header-only libraries of the build machine (CLI11 from /usr/include/CLI, nlohmann-json from
# /usr/include/nlohmann), through a folder of their own that holds only links to them:
# /usr/include itself would put the build machine's C library headers in front of mingw's.
set(KORVANE_HOST_HEADERS ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${KORVANE_HOST_HEADERS})
foreach(folder CLI nlohmann)
  if(EXISTS /usr/include/${folder} AND NOT EXISTS ${KORVANE_HOST_HEADERS}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${KORVANE_HOST_HEADERS}/${folder} SYMBOLIC)
  endif()
endforeach()
if(NOT TARGET CLI11::CLI11 AND EXISTS /usr/include/CLI/CLI.hpp)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${KORVANE_HOST_HEADERS})
endif()
if(NOT TARGET nlohmann_json::nlohmann_json AND EXISTS /usr/include/nlohmann/json.hpp)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${KORVANE_HOST_HEADERS})
endif()

# GoogleTest built from its sources with the cross compiler; it is not installed or packaged.
set(KORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT TARGET GTest::gtest AND EXISTS ${KORVANE_GOOGLETEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${KORVANE_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# libusb-1.0 for the devices bound to WinUSB, libusbK or libusb0: the sources of the Debian
# package the Linux build uses, cross-built as libusb-1.0.dll by scripts/libusb-windows.sh into
# a folder of this build (build-windows.sh and test-windows.sh run it). The programs are compiled
# against its header and load the DLL at run time from their own folder (link/LibUsbRuntime),
# so that they import system DLLs only and a user can replace it by a build of their own.
set(KORVANE_LIBUSB_WINDOWS ${PROJECT_BINARY_DIR}/libusb/${CMAKE_SYSTEM_PROCESSOR}
    CACHE PATH "libusb-1.0 built for this Windows architecture (include/, bin/libusb-1.0.dll)")
set(KORVANE_LIBUSB_DLL ${KORVANE_LIBUSB_WINDOWS}/bin/libusb-1.0.dll)
if(NOT EXISTS ${KORVANE_LIBUSB_DLL})
  message(FATAL_ERROR "libusb for Windows is not built in ${KORVANE_LIBUSB_WINDOWS}: run "
                      "bash scripts/libusb-windows.sh ${PROJECT_BINARY_DIR} "
                      "${CMAKE_SYSTEM_PROCESSOR} (scripts/build-windows.sh does)")
endif()
add_library(KorvaneLibUsb::libusb INTERFACE IMPORTED GLOBAL)
set_target_properties(KorvaneLibUsb::libusb PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${KORVANE_LIBUSB_WINDOWS}/include/libusb-1.0)
# Beside the programs in bin/, as in the zip, so that they find it when run from the build.
configure_file(${KORVANE_LIBUSB_DLL} ${PROJECT_BINARY_DIR}/bin/libusb-1.0.dll COPYONLY)
# The version it was built from ("1.0.26"), which the tests check the loaded library against.
file(STRINGS ${KORVANE_LIBUSB_WINDOWS}/upstream-version KORVANE_LIBUSB_WINDOWS_VERSION LIMIT_COUNT 1)
