# Installation as Linux users expect it, and the Debian package: both executables, the desktop
# entry, the icon and the udev rule that lets the user at the seat reach the reader's SCSI
# generic node. The directories come from GNUInstallDirs (included by the top-level build).

install(FILES ${PROJECT_SOURCE_DIR}/res/linux/tr350-fwupdate.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# udev reads rules from /usr/lib/udev/rules.d (and /lib on systems that keep it apart): never from
# the multiarch CMAKE_INSTALL_LIBDIR, so the rule's folder is its own setting.
set(TR350_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the install prefix")
install(FILES ${PROJECT_SOURCE_DIR}/res/linux/70-tr350-fwupdate.rules
        DESTINATION ${TR350_UDEV_RULES_DIR})

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tr350-fwupdate")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "TR350 FW Update Tool maintainers <tr350-fwupdate@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update tool for TR350 USB SD card readers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Checks the firmware of TR350 USB SD card readers (RZ6104 bridge) against the firmware the\n tool carries, and updates readers whose firmware is older.")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window needs a Qt platform plugin (xcb, wayland) and, for its Chinese and Japanese texts,
# a CJK font; the libraries themselves come from the shared-library dependencies.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
# Stripping keeps the resource section: the firmware image and the version travel in it.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# udev picks the rule up at once; nothing else needs to run on install or removal.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/res/linux/postinst;${PROJECT_SOURCE_DIR}/res/linux/postrm")
include(CPack)
