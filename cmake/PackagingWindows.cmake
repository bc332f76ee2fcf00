# The Windows download: korvane-<version>-win32.zip with the three programs at its top, the
# example update files, the README and libusb's licence. vbmpusbapi.dll comes with the device's
# driver package.
foreach(program korvane korvane-demo korvane-cli)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION .)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo-firmware.hex
              ${PROJECT_SOURCE_DIR}/examples/demo-firmware.elc
        DESTINATION examples OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
# libusb is linked into the programs: its licence (LGPL 2.1) goes with them.
install(FILES ${KORVANE_LIBUSB_WINDOWS}/COPYING DESTINATION licenses RENAME libusb-COPYING.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME korvane-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for PIC18 devices with a USB bootloader")
include(CPack)
