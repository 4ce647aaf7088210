# What `cmake --install` puts where, and the Debian package made from it (`cpack -G DEB`):
#   bin/                                   nivosfx, mksfx, mklzh
#   share/nivo-sfx/sfx.exe                 the Windows program, when scripts/build_stub.sh built it
#   share/man/man1/                        the three manual pages
#   share/bash-completion/completions/     completion for the three commands
#   share/doc/nivo-sfx/copyright            the copyright file a Debian package carries
# An installed mksfx finds the program image at ../share/nivo-sfx/sfx.exe from its own folder.
include(GNUInstallDirs)

install(TARGETS nivosfx mksfx mklzh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${NIVO_DEFAULT_STUB} DESTINATION ${CMAKE_INSTALL_DATADIR}/nivo-sfx OPTIONAL)

# Manual pages are installed compressed, as Debian installs them.
set(NIVO_MAN_PAGES nivosfx mksfx mklzh)
set(NIVO_MAN_OUTPUTS)
foreach(page ${NIVO_MAN_PAGES})
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.1)
  set(output ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND NIVO_MAN_OUTPUTS ${output})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${NIVO_MAN_OUTPUTS})
install(FILES ${NIVO_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

foreach(command nivosfx mksfx mklzh)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/bash-completion/nivo-sfx RENAME ${command}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/docs/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nivo-sfx)

set(CPACK_PACKAGE_NAME nivo-sfx)
set(CPACK_STRIP_FILES ON)  # the package's programs carry no symbol tables
set(CPACK_PACKAGE_VENDOR "Nivo SFX")
set(CPACK_PACKAGE_CONTACT "Nivo SFX maintainers <maintainers@nivo-sfx.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting LZH archives: extract, build and pack them")
set(CPACK_PACKAGE_DESCRIPTION
  "nivosfx lists, tests and extracts self-extracting LZH files for 32-bit Windows and plain LZH\n\
archives, and plays a self-extracting file's setup in the terminal. mksfx builds such files from\n\
the Windows program, a settings block and files; mklzh packs files into an LZH archive.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_GENERATOR DEB)
include(CPack)
