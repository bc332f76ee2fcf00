# Installation layout and the Debian package.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
  return()
endif()
include(GNUInstallDirs)

foreach(program korvane korvane-demo korvane-cli)
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
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Brings new firmware into a product built on a PIC18 microcontroller with a USB\n bootloader: Intel HEX and scrambled .elc update files, erase, write and verify of\n program flash and data EEPROM, a command-line tool for scripts and service benches.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
