# What `cmake --install` puts beside the programs, in components so that a
# packager can ship them apart:
#   orvel-dfu     the tool, the udev rule, its man page and bash completion,
#                 README and LICENSE
#   orvel-sim     the simulator, its man page and bash completion
#   liborvel0, liborvel-dev   the library (OrvelLibrary.cmake)
# On Unix each component's doc folder also gets the copyright file and
# changelog that Debian packages carry.

set(ORVEL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder for the udev rule, relative to the install prefix or absolute")
set(ORVEL_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE STRING
    "Folder for bash completion scripts, relative to the install prefix or absolute")
set(ORVEL_PACKAGE_CONTACT "The Orvel DFU authors <orvel-dfu@users.noreply.invalid>" CACHE STRING
    "Maintainer of the packages: name <address>")

set(_orvel_components orvel-dfu)
if(TARGET orvel-sim)
  list(APPEND _orvel_components orvel-sim)
endif()

install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT orvel-dfu)
# The reference the README links to, beside it as in the source tree.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT orvel-dfu)

if(NOT UNIX)
  return()
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(FILES packaging/udev/70-orvel-dfu.rules DESTINATION ${ORVEL_UDEV_RULES_DIR} COMPONENT orvel-dfu)
endif()

foreach(_component IN LISTS _orvel_components)
  install(FILES packaging/bash-completion/${_component}
          DESTINATION ${ORVEL_BASH_COMPLETION_DIR} COMPONENT ${_component})
endforeach()

# Man pages and the changelog are compressed (gzip -9n: reproducible) where
# gzip is at hand, as distributions ship them.
find_program(ORVEL_GZIP gzip)
set(_orvel_compressed)
function(orvel_install_maybe_compressed file destination component)
  if(ORVEL_GZIP)
    add_custom_command(OUTPUT ${file}.gz
      COMMAND ${ORVEL_GZIP} -9nkf ${file}
      DEPENDS ${file}
      COMMENT "Compressing ${file}" VERBATIM)
    set(_orvel_compressed ${_orvel_compressed} ${file}.gz PARENT_SCOPE)
    set(file ${file}.gz)
  endif()
  install(FILES ${file} DESTINATION ${destination} COMPONENT ${component})
endfunction()

# The licence in the form Debian's copyright file wants: indented, blank lines as " .".
file(READ ${CMAKE_SOURCE_DIR}/LICENSE _orvel_license)
string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" _orvel_license "${_orvel_license}")
string(REGEX REPLACE "\n$" "" _orvel_license "${_orvel_license}")
string(REPLACE "\n\n" "\n.\n" _orvel_license "${_orvel_license}")
string(REPLACE "\n" "\n " ORVEL_LICENSE_BODY " ${_orvel_license}")
configure_file(packaging/debian/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
configure_file(packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)

# The man pages name the rule's folder as installed.
if(IS_ABSOLUTE "${ORVEL_UDEV_RULES_DIR}")
  set(ORVEL_UDEV_RULES_PATH "${ORVEL_UDEV_RULES_DIR}")
else()
  set(ORVEL_UDEV_RULES_PATH "${CMAKE_INSTALL_PREFIX}/${ORVEL_UDEV_RULES_DIR}")
endif()

foreach(_component IN LISTS _orvel_components ITEMS liborvel0 liborvel-dev)
  set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${_component})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright DESTINATION ${_doc_dir} COMPONENT ${_component})
  # One changelog file per package: a file is the output of one rule only.
  configure_file(${CMAKE_BINARY_DIR}/packaging/changelog
                 ${CMAKE_BINARY_DIR}/packaging/${_component}/changelog COPYONLY)
  orvel_install_maybe_compressed(${CMAKE_BINARY_DIR}/packaging/${_component}/changelog ${_doc_dir} ${_component})
endforeach()
foreach(_component IN LISTS _orvel_components)
  configure_file(packaging/man/${_component}.1.in ${CMAKE_BINARY_DIR}/man/${_component}.1 @ONLY)
  orvel_install_maybe_compressed(${CMAKE_BINARY_DIR}/man/${_component}.1 ${CMAKE_INSTALL_MANDIR}/man1 ${_component})
endforeach()
if(_orvel_compressed)
  add_custom_target(orvel_compressed_docs ALL DEPENDS ${_orvel_compressed})
endif()
