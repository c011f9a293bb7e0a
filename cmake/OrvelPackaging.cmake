# Debian packages through CPack, one per install component:
#   cpack -G DEB   (from a Release build)
# gives orvel-dfu_<version>_<arch>.deb and orvel-sim_<version>_<arch>.deb.
# Their library dependencies come from dpkg-shlibdeps.

set(CPACK_PACKAGE_NAME orvel-dfu)
set(CPACK_PACKAGE_VENDOR "The Orvel DFU authors")
set(CPACK_PACKAGE_CONTACT "${ORVEL_PACKAGE_CONTACT}")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: each package's description below
# starts with its own synopsis line.
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

set(CPACK_COMPONENTS_ALL orvel-dfu)
if(TARGET orvel-sim)
  list(APPEND CPACK_COMPONENTS_ALL orvel-sim)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_ORVEL-DFU_PACKAGE_NAME orvel-dfu)
set(CPACK_DEBIAN_ORVEL-DFU_DESCRIPTION
"flash tool for Orvel chips over their USB HID ROM bootloader
orvel-dfu writes application programs (raw binary or Intel HEX) into the
flash of Orvel chips through the chip's ROM bootloader over USB HID: it
erases, downloads, reads back and compares, and restarts the chip. It runs
one-shot from a build script or as an interactive shell.
.
The package holds a udev rule that lets the user at the seat use the
bootloader without root.")
set(CPACK_DEBIAN_ORVEL-DFU_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)

set(CPACK_DEBIAN_ORVEL-SIM_PACKAGE_NAME orvel-sim)
set(CPACK_DEBIAN_ORVEL-SIM_PACKAGE_SECTION devel)
# The preload library that makes the emulated devices visible is in umockdev.
set(CPACK_DEBIAN_ORVEL-SIM_PACKAGE_DEPENDS umockdev)
set(CPACK_DEBIAN_ORVEL-SIM_DESCRIPTION
"virtual Orvel ROM bootloaders on emulated hidraw devices
orvel-sim attaches virtual Orvel ROM bootloaders to the system as
umockdev-emulated hidraw devices and runs a command among them, so that
orvel-dfu, or flashing scripts, can be tested without hardware. Faults,
delays and late or silent devices can be injected.")

include(CPack)
