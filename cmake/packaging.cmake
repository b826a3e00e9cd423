# Installation and packages.
#
# cmake --install lays the tool out as its users look for it:
#   Linux, macOS  bin/dedizo, bin/qtb-sim (to try the tool without a QTB),
#                 bin/qtbrancid (RANCID's collector for a QTB, which finds
#                 dedizo beside itself), share/man/man1/dedizo.1 and
#                 qtbrancid.1, share/doc/dedizo/README.md and the RANCID
#                 examples in share/doc/dedizo/examples/rancid/
#   Windows       DEDIZO.EXE and README.TXT side by side: the program is
#                 statically linked and needs nothing else, so it can be
#                 copied to a bare PC, and its name is the one operators type.
#
# CPack makes dedizo-VERSION-Linux.tar.gz and dedizo_VERSION_ARCH.deb from a
# native build, and dedizo-VERSION-win64.zip from the windows preset's build;
# the version is the project's. scripts/package-check.sh builds and checks
# them.
include(GNUInstallDirs)

if(WIN32)
  install(PROGRAMS $<TARGET_FILE:dedizo> DESTINATION . RENAME DEDIZO.EXE)
  # The README as a Windows text file: CR LF line ends, a name that opens in
  # any editor.
  file(READ ${PROJECT_SOURCE_DIR}/README.md dedizo_readme)
  string(REPLACE "\n" "\r\n" dedizo_readme "${dedizo_readme}")
  set(dedizo_readme_txt ${PROJECT_BINARY_DIR}/README.TXT)
  set(dedizo_readme_old "")
  if(EXISTS ${dedizo_readme_txt})
    file(READ ${dedizo_readme_txt} dedizo_readme_old)
  endif()
  if(NOT dedizo_readme_old STREQUAL dedizo_readme)
    file(WRITE ${dedizo_readme_txt} "${dedizo_readme}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${dedizo_readme_txt} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  # The two files at the top of the archive: Windows' "Extract All" already
  # makes a folder named after the archive.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS dedizo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET qtb-sim)
    install(TARGETS qtb-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/integrations/rancid/qtbrancid
          DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/dedizo.1
                ${PROJECT_SOURCE_DIR}/integrations/rancid/qtbrancid.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/integrations/rancid/examples/
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/rancid)
  set(CPACK_GENERATOR TGZ DEB)
endif()

set(CPACK_PACKAGE_NAME dedizo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "dedizo project")
set(CPACK_PACKAGE_CONTACT "dedizo maintainers <maintainers@dedizo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "back up the channel configuration of a QTB over its serial console")
set(CPACK_PACKAGE_DESCRIPTION
    "dedizo takes over the serial port wired to a QTB's console, walks the device's
menus with cursor keys as an operator at a terminal would, reads the setup
fields of channels 1 to 8 off the screen, checks each label, and writes them
to QTB.CFG in the current directory. The port's settings are put back as they
were found. qtb-sim, a simulated QTB console on a pseudo-terminal, is included
to try the tool without a device.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# The builds carry debug information for the tests; users get lean programs.
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C and C++ runtime libraries the programs link against, as
# dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# qtbrancid reaches console servers through socat; RANCID and ser2net are
# the engines it plugs into, where a site uses them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "socat")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "rancid, ser2net")

include(CPack)
