# Debian packages through CPack, one per install component:
#   cpack -G DEB   (from a Release build)
# gives orvel-dfu_<version>_<arch>.deb, orvel-sim_<version>_<arch>.deb,
# liborvel0_<version>_<arch>.deb and liborvel-dev_<version>_<arch>.deb.
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

set(CPACK_COMPONENTS_ALL orvel-dfu liborvel0 liborvel-dev)
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

# The library as Debian packages a library: the runtime package named after
# its SONAME, with a shlibs file and the ldconfig trigger, and a -dev package
# with the header, the link and the build files.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIBORVEL0_PACKAGE_NAME liborvel0)
set(CPACK_DEBIAN_LIBORVEL0_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBORVEL0_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/liborvel0/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/debian/library-triggers.cmake)
set(CPACK_DEBIAN_LIBORVEL0_DESCRIPTION
"library to flash Orvel chips over their USB HID ROM bootloader
liborvel is the engine of orvel-dfu behind a plain C API: it lists the
Orvel ROM bootloaders attached over USB HID and flashes programs (raw binary
or Intel HEX, from files or memory) into a chip: erase, download, read back
and compare, restart. It also compares programs with the flash and reads
the flash. Several devices can be served at once from several threads.")
set(CPACK_DEBIAN_LIBORVEL-DEV_PACKAGE_NAME liborvel-dev)
set(CPACK_DEBIAN_LIBORVEL-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBORVEL-DEV_PACKAGE_DEPENDS "liborvel0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBORVEL-DEV_DESCRIPTION
"library to flash Orvel chips over their USB HID ROM bootloader (development)
liborvel is the engine of orvel-dfu behind a plain C API: it lists the
Orvel ROM bootloaders attached over USB HID and flashes programs into a
chip.
.
This package holds the header <orvel/orvel.h>, the link for the linker, the
pkg-config file orvel.pc and the CMake package (find_package(orvel) gives
the target orvel::orvel).")

include(CPack)
