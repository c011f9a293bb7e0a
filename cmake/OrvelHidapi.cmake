# hidapi for orvel-dfu, as two targets:
#   orvel_hidapi_headers  the include folder of hidapi.h (the core and the stand-in compile against it)
#   orvel_hidapi          the library the shipped tool links
#
# hidapi's own CMake package comes first (vcpkg and hidapi's CMake install
# provide hidapi::hidapi), pkg-config otherwise (Debian, MSYS2, Homebrew). On
# Linux the hidraw backend: the udev rule and the device claim are for hidraw
# nodes. With ORVEL_HIDAPI_STANDIN the tool links the in-process stand-in and
# only hidapi.h is needed (ORVEL_HIDAPI_INCLUDE_DIR), e.g. for a Windows
# build cross-compiled on Linux and tested under Wine.
add_library(orvel_hidapi_headers INTERFACE)
add_library(orvel_hidapi INTERFACE)

if(ORVEL_HIDAPI_STANDIN)
  find_path(ORVEL_HIDAPI_INCLUDE_DIR hidapi.h PATH_SUFFIXES hidapi
            DOC "Folder holding hidapi.h (the stand-in needs only the header)")
  if(NOT ORVEL_HIDAPI_INCLUDE_DIR)
    message(FATAL_ERROR "hidapi.h not found: set ORVEL_HIDAPI_INCLUDE_DIR to the folder that holds it.")
  endif()
  target_include_directories(orvel_hidapi_headers INTERFACE ${ORVEL_HIDAPI_INCLUDE_DIR})
  return()
endif()

find_package(hidapi CONFIG QUIET)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND TARGET hidapi::hidraw)
  set(_orvel_hidapi_target hidapi::hidraw)
elseif(TARGET hidapi::hidapi)
  set(_orvel_hidapi_target hidapi::hidapi)
else()
  if(NOT PKG_CONFIG_FOUND)
    message(FATAL_ERROR "hidapi not found: neither hidapi's CMake package nor pkg-config is available.")
  endif()
  if(WIN32 OR APPLE)
    pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi)
  else()
    pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
  endif()
  set(_orvel_hidapi_target PkgConfig::HIDAPI)
endif()
message(STATUS "hidapi: ${_orvel_hidapi_target}")
target_include_directories(orvel_hidapi_headers INTERFACE
  $<TARGET_PROPERTY:${_orvel_hidapi_target},INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(orvel_hidapi INTERFACE ${_orvel_hidapi_target})
