# The Windows download: korvane-<version>-win32.zip with the three programs and libusb-1.0.dll at
# its top, the example update files, the README, and the licences of the software of others in
# it (licenses/, THIRD-PARTY.txt). vbmpusbapi.dll comes with the device's driver package.
foreach(program korvane korvane-demo korvane-cli)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION .)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo-firmware.hex
              ${PROJECT_SOURCE_DIR}/examples/demo-firmware.elc
        DESTINATION examples OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
# libusb as a DLL of its own beside the programs, which load it from there (see Windows.cmake).
install(FILES ${KORVANE_LIBUSB_DLL} DESTINATION .)

# What the programs and the DLL contain besides Korvane, with the versions of the Debian packages
# they were built from: `dpkg-query` gives VERSION and "SOURCE-PACKAGE SOURCE-VERSION".
function(korvane_debian_package package version_var source_var)
  execute_process(COMMAND dpkg-query -W [=[-f=${Version}|${source:Package} ${source:Version}]=]
                          ${package}
                  OUTPUT_VARIABLE found RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0 OR NOT found MATCHES "^([^|]+)\\|(.+)$")
    message(FATAL_ERROR "The Debian package ${package} is not installed: its version goes into "
                        "THIRD-PARTY.txt (scripts/build-windows.sh installs it)")
  endif()
  set(${version_var} ${CMAKE_MATCH_1} PARENT_SCOPE)
  set(${source_var} ${CMAKE_MATCH_2} PARENT_SCOPE)
endfunction()
string(REPLACE _ - KORVANE_DEBIAN_ARCH ${CMAKE_SYSTEM_PROCESSOR})  # x86_64: x86-64
korvane_debian_package(libcli11-dev KORVANE_CLI11_VERSION KORVANE_CLI11_SOURCE)
korvane_debian_package(nlohmann-json3-dev KORVANE_JSON_VERSION KORVANE_JSON_SOURCE)
korvane_debian_package(mingw-w64-${KORVANE_DEBIAN_ARCH}-dev KORVANE_MINGW_VERSION
                       KORVANE_MINGW_SOURCE)
korvane_debian_package(gcc-mingw-w64-${KORVANE_DEBIAN_ARCH}-posix-runtime KORVANE_GCC_VERSION
                       KORVANE_GCC_SOURCE)
file(STRINGS ${KORVANE_LIBUSB_WINDOWS}/debian-version KORVANE_LIBUSB_DEBIAN_VERSION LIMIT_COUNT 1)
file(GLOB KORVANE_LIBUSB_DSC RELATIVE ${KORVANE_LIBUSB_WINDOWS}/source
     ${KORVANE_LIBUSB_WINDOWS}/source/*.dsc)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KORVANE_WINDOWS_BITS 64)
else()
  set(KORVANE_WINDOWS_BITS 32)
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/THIRD-PARTY.txt.in
               ${PROJECT_BINARY_DIR}/THIRD-PARTY.txt @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/THIRD-PARTY.txt DESTINATION .)
# The licence texts, as the sources and Debian's packages carry them. The GCC runtime exception
# is an addition to the GPL, whose text Debian keeps in common-licenses.
install(FILES ${KORVANE_LIBUSB_WINDOWS}/COPYING DESTINATION licenses RENAME libusb-COPYING.txt)
install(FILES /usr/share/doc/libcli11-dev/copyright DESTINATION licenses
        RENAME CLI11-copyright.txt)
install(FILES /usr/share/doc/nlohmann-json3-dev/copyright DESTINATION licenses
        RENAME nlohmann-json-copyright.txt)
install(FILES /usr/share/doc/mingw-w64-${KORVANE_DEBIAN_ARCH}-dev/copyright DESTINATION licenses
        RENAME mingw-w64-copyright.txt)
install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licenses
        RENAME gcc-runtime-copyright.txt)
install(FILES /usr/share/common-licenses/GPL-3 DESTINATION licenses RENAME GPL-3.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME korvane-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for PIC18 devices with a USB bootloader")
include(CPack)
