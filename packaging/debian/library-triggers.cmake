# After CPack built the packages: the library's runtime package gets its
# dynamic linker cache refreshed by the ldconfig trigger (packaging/debian/
# liborvel0/triggers), as Debian does it now, so the postinst and postrm
# that CPack writes only to call ldconfig themselves are taken out again.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "/liborvel[0-9]+_[^/]*\\.deb$")
    continue()
  endif()
  set(unpacked ${package}.d)
  file(REMOVE_RECURSE ${unpacked})
  execute_process(COMMAND dpkg-deb -R ${package} ${unpacked} COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    file(READ ${unpacked}/DEBIAN/${script} text)
    string(REGEX REPLACE "#[^\n]*\n|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|ldconfig|fi|\n|\t| " "" code "${text}")
    if(NOT code STREQUAL "")
      message(FATAL_ERROR "${script} of ${package} does more than call ldconfig:\n${text}")
    endif()
    file(REMOVE ${unpacked}/DEBIAN/${script})
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${unpacked} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${unpacked})
endforeach()
