# What `cmake --install` puts where, and the packages CPack makes of it:
# a Debian package of the Linux program and a zip of the Windows program,
# each with the README and the sample scripts. scripts/package drives both.

# The version is named once, in src/base/version.h.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/base/version.h QELTA_VERSION_LINE
     REGEX "^#define QELTA_VERSION \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" QELTA_VERSION "${QELTA_VERSION_LINE}")
if(NOT QELTA_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "No version found in src/base/version.h")
endif()

# The Debian package wants its manual page and changelog compressed and a
# changelog of its own; a plain install leaves the page as it is.
option(QELTA_DEB_LAYOUT "Install for the Debian package (compressed page, changelog)" OFF)
set(QELTA_MAINTAINER "QELTA developers <qelta@users.noreply.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

set(QELTA_DOC_SOURCES ${CMAKE_SOURCE_DIR}/README.md)
file(GLOB QELTA_EXAMPLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/examples/*.ftp)

if(WIN32)
  # The zip: qelta-<version>-windows/ with the programs, the README and the
  # samples beside it.
  install(TARGETS ${QELTA_WIN_TARGET} RUNTIME DESTINATION .)
  # The zip carries both widths; scripts/package names the other build's program.
  if(QELTA_OTHER_WIN_EXE)
    install(PROGRAMS ${QELTA_OTHER_WIN_EXE} DESTINATION .)
  endif()
  install(FILES ${QELTA_DOC_SOURCES} ${CMAKE_SOURCE_DIR}/doc/copyright DESTINATION .)
  install(FILES ${QELTA_EXAMPLES} DESTINATION examples)
else()
  include(GNUInstallDirs)
  install(TARGETS qelta RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(QELTA_DEB_LAYOUT)
    # As Debian's own packages are stripped: no compiler banners either.
    install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qelta\"
                  RESULT_VARIABLE rc)
                  if(NOT rc EQUAL 0)
                    message(FATAL_ERROR \"strip failed on qelta\")
                  endif()")
    install(FILES ${CMAKE_SOURCE_DIR}/doc/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME qelta)
  endif()
  set(QELTA_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/qelta)
  install(FILES ${QELTA_DOC_SOURCES} ${CMAKE_SOURCE_DIR}/doc/copyright DESTINATION ${QELTA_DOCDIR})
  install(FILES ${QELTA_EXAMPLES} DESTINATION ${QELTA_DOCDIR}/examples)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/doc/examples/systemd DESTINATION ${QELTA_DOCDIR}/examples)

  if(QELTA_DEB_LAYOUT)
    find_program(GZIP gzip)
    if(NOT GZIP)
      message(FATAL_ERROR "gzip is needed for the Debian package's files")
    endif()
  endif()

  # The manual page, rendered from its scdoc source at build time.
  find_program(SCDOC scdoc)
  set(QELTA_MAN ${CMAKE_BINARY_DIR}/doc/qelta.1)
  if(NOT SCDOC AND QELTA_DEB_LAYOUT)
    message(FATAL_ERROR "scdoc is needed for the manual page (apt-get install scdoc)")
  elseif(NOT SCDOC)
    message(WARNING "scdoc not found: the manual page is not built (apt-get install scdoc)")
  else()
    set(QELTA_MAN_OUTPUTS ${QELTA_MAN})
    set(QELTA_GZIP_ARG)
    if(QELTA_DEB_LAYOUT)
      list(APPEND QELTA_MAN_OUTPUTS ${QELTA_MAN}.gz)
      set(QELTA_GZIP_ARG -DGZIP=${GZIP})
    endif()
    add_custom_command(OUTPUT ${QELTA_MAN_OUTPUTS}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${SCDOC} -DIN=${CMAKE_SOURCE_DIR}/doc/qelta.1.scd
              -DOUT=${QELTA_MAN} ${QELTA_GZIP_ARG} -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
      DEPENDS ${CMAKE_SOURCE_DIR}/doc/qelta.1.scd ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
      COMMENT "Rendering the manual page qelta(1)" VERBATIM)
    add_custom_target(manpage ALL DEPENDS ${QELTA_MAN_OUTPUTS})
    if(QELTA_DEB_LAYOUT)
      install(FILES ${QELTA_MAN}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
      install(FILES ${QELTA_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endif()

  if(QELTA_DEB_LAYOUT)
    configure_file(${CMAKE_SOURCE_DIR}/doc/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
      COMMAND ${GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/doc/changelog
      DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog VERBATIM)
    add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${QELTA_DOCDIR})
  endif()
endif()

set(CPACK_PACKAGE_NAME qelta)
set(CPACK_PACKAGE_VERSION ${QELTA_VERSION})
set(CPACK_PACKAGE_CONTACT ${QELTA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended, script-driven FTP client")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qelta-${QELTA_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the program links, found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # OpenSSL is loaded only when a run uses TLS, so no link names it: the
  # package of the library the build's headers belong to.
  string(REGEX MATCH "^[0-9]+" QELTA_SSL_MAJOR "${OPENSSL_VERSION}")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl${QELTA_SSL_MAJOR}")
  # DIAL drives NetworkManager's nmcli; PasswordSource=SecretService loads
  # libsecret when first asked. Nothing else needs either.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "network-manager, libsecret-1-0")
  # The synopsis is the summary above; this is the extended description.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"QELTA runs an FTP script with no one at the keyboard: it connects, logs
in, lists, retrieves, sends, appends and deletes files, singly or by
wildcard, in active or passive mode, runs local programs, waits and loops.
The script is an INI file; QELTA writes the outcome of every command back
into it, keeps a log of the whole conversation with the server, and can
exit with a status that schedulers such as cron and systemd timers see.")
endif()
include(CPack)
