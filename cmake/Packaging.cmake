# Installation layout and the Debian package.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
  return()
endif()
# Debian keeps a package's documents under its own name, lower case like the package.
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/korvane)
endif()
include(GNUInstallDirs)

# korvane-gadget is built on Linux only.
foreach(program korvane korvane-demo korvane-cli korvane-gadget)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# USB access for the logged-in user; udev reads lib/udev/rules.d below the install prefix.
file(GLOB KORVANE_UDEV_RULES ${PROJECT_SOURCE_DIR}/packaging/linux/*.rules)
install(FILES ${KORVANE_UDEV_RULES} DESTINATION lib/udev/rules.d)

file(GLOB KORVANE_DESKTOP_FILES ${PROJECT_SOURCE_DIR}/packaging/linux/*.desktop)
install(FILES ${KORVANE_DESKTOP_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Icons: packaging/icons/korvane.svg and packaging/icons/korvane-<size>.png.
if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/icons/korvane.svg)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/korvane.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
foreach(size 16 32 48 64 128 256)
  set(png ${PROJECT_SOURCE_DIR}/packaging/icons/korvane-${size}.png)
  if(EXISTS ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME korvane.png)
  endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/examples/demo-firmware.hex
              ${PROJECT_SOURCE_DIR}/examples/demo-firmware.elc
        DESTINATION ${CMAKE_INSTALL_DATADIR}/korvane/examples OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(${CMAKE_CURRENT_LIST_DIR}/PackageDocs.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for PIC18 devices with a USB bootloader")
set(CPACK_PACKAGE_CONTACT "Korvane developers <korvane@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4), qt6-qpa-plugins, libusb-1.0-0 (>= 2:1.0.26), libstdc++6 (>= 12), libc6 (>= 2.36)")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvane.example.com/")
# The long description; CPack puts the summary above it and a blank line becomes " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Korvane brings new firmware into a product built on a PIC18 microcontroller
with a resident USB bootloader. It reads an update file (Intel HEX, or the
same text scrambled as .elc), finds the bootloader, erases, writes and
verifies program flash and the data EEPROM, and resets the device so that it
starts the new firmware.

The package holds four programs: korvane, the windows for a real device;
korvane-demo, the same windows on a built-in emulated device, to try an
update without hardware; korvane-cli, the same engine on the command line
for scripts, service benches and production lines; and korvane-gadget, which
presents the emulated device over a real USB cable from a board with a USB
device port. A udev rule gives the user at the computer access to the
device.")
# Debian ships programs without their symbols.
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
