# Installing and packaging. The deliverables keep the layout they have in
# dist/: one folder, side by side (the client finds MAPI32.DLL and the
# extension beside itself, the programs find their libraries through
# $ORIGIN), here lib/corvid under the prefix. The commands a user types are
# links in bin; the manual pages and the systemd user unit go where their
# kinds go. `cmake --install build --prefix P` and `cpack -G DEB` both use it.
include(GNUInstallDirs)
set(CORVID_PRIVATE_DIR lib/corvid)
set(CORVID_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/corvid)
# The one version of the project is the one the programs answer with.
file(STRINGS ${CMAKE_SOURCE_DIR}/base/version.h version_line REGEX "kVersion\\[\\] = \"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" CORVID_VERSION "${version_line}")

set(CORVID_INSTALLED_TARGETS corvid corvid-zip corvid-mapi corvid-reg rundll32
    corvina corvid_mapi32 corvid_base corvid_user)
set_target_properties(${CORVID_INSTALLED_TARGETS} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${CORVID_INSTALLED_TARGETS}
        RUNTIME DESTINATION ${CORVID_PRIVATE_DIR}
        LIBRARY DESTINATION ${CORVID_PRIVATE_DIR} NAMELINK_SKIP)

# bin/corvid -> ../lib/corvid/corvid, and so on; the links are made in the
# build tree and installed as links.
set(link_dir ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${link_dir})
foreach(program corvid corvid-zip corvid-mapi corvid-reg)
  file(CREATE_LINK ../${CORVID_PRIVATE_DIR}/${program} ${link_dir}/${program} SYMBOLIC)
  install(FILES ${link_dir}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Manual pages, compressed as Debian wants them (-n: no name or time
# inside, so the package is the same bytes whenever it is built).
set(man_pages)
foreach(page corvid.1 corvid-zip.1 corvid-mapi.1 corvid-reg.1)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/docs/debian/changelog > ${CMAKE_BINARY_DIR}/man/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/debian/changelog VERBATIM)
add_custom_target(corvid_docs ALL DEPENDS ${man_pages} ${CMAKE_BINARY_DIR}/man/changelog.gz)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/docs/debian/copyright ${CMAKE_BINARY_DIR}/man/changelog.gz
        DESTINATION ${CORVID_DOC_DIR})

# The user unit, pointing at the installed client (the prefix is known only
# when installing: cpack installs under its own).
file(READ ${CMAKE_SOURCE_DIR}/client/systemd/corvid.service unit_text)
install(CODE "
  set(unit_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
  file(MAKE_DIRECTORY \"\${unit_dir}\")
  set(unit_text [==[${unit_text}]==])
  string(REPLACE \"%h/.local/lib/corvid/corvid\" \"\${CMAKE_INSTALL_PREFIX}/bin/corvid\" unit_text \"\${unit_text}\")
  string(REGEX REPLACE \"# Install:[^\\n]*\\n#[^\\n]*\\n#[^\\n]*\\n\" \"# Enable: systemctl --user enable --now corvid\\n\" unit_text \"\${unit_text}\")
  file(WRITE \"\${unit_dir}/corvid.service\" \"\${unit_text}\")
  message(STATUS \"Installing: \${unit_dir}/corvid.service\")
")

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvid)
set(CPACK_PACKAGE_VERSION ${CORVID_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvid developers <corvid@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs mail attachments into ZIP archives and unpacks them")
set(CPACK_PACKAGE_DESCRIPTION
    "Corvid packs the attachments of outgoing mail into ZIP archives, by the\nuser's rules, optionally encrypted or self-extracting, and unpacks the ZIP\nattachments of incoming mail in a Maildir. It has its own ZIP engine.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are what the binaries link, as dpkg-shlibdeps finds it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CORVID_PRIVATE_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The package, made and used as a user would (not for instrumented builds:
# their binaries need the sanitizer runtimes).
if(NOT CORVID_SANITIZE AND NOT CORVID_FUZZ)
  add_test(NAME PackageTest.InstallsAndRunsFromAFreshRoot
           COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check_package.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(PackageTest.InstallsAndRunsFromAFreshRoot PROPERTIES
    ENVIRONMENT "TMPDIR=${CMAKE_BINARY_DIR}/tmp" TIMEOUT 600)
endif()
