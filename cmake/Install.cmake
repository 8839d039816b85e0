# What `cmake --install` lays out (Debian layout under the prefix), and the .deb CPack builds from
# it. Included once, after every program's folder.
include(GNUInstallDirs)
# Installing and packaging take the programs as built: the package test runs after the build and
# must not rebuild the whole tree on its own.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(VANTREL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/vantrel-link)
set(VANTREL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/vantrel-link)

# Programs: the server finds corvane-mic-host beside itself.
foreach(program vantrel-link vantrel-link-client vantrel-link-viewer corvane-mic-host lensway
                lensway-installer)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# Loaded at run time: libPhantomScreen.so from <bin>/../lib/vantrel-link, the microphone driver
# by the mic host from the same folder.
foreach(module PhantomScreen CorvaneVisionProMic)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION ${VANTREL_LIBDIR})
  endif()
endforeach()

# The GNOME Shell extension that offers windows to the server on GNOME Wayland, where the shell
# finds system-wide extensions by their uuid.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/windows/gnomeshell/extension/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions/windows@vantrel-link.example)

set(packaging ${CMAKE_SOURCE_DIR}/packaging)
install(FILES ${packaging}/vantrel-link.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging}/icons/vantrel-link.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${packaging}/vantrel-link.service DESTINATION lib/systemd/user)
# The PAM service of the password reveal lives in the system's /etc whatever the prefix.
install(FILES ${packaging}/vantrel-link.pam DESTINATION /etc/pam.d RENAME vantrel-link)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${packaging}/copyright
        DESTINATION ${VANTREL_DOCDIR})
# Debian keeps the changelog compressed; made at build time from the text in packaging/.
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                   COMMAND gzip -n -9 -c ${packaging}/changelog > ${changelog_gz}
                   DEPENDS ${packaging}/changelog)
add_custom_target(vantrel_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION ${VANTREL_DOCDIR})

# The Debian package. Libraries the programs link come from dpkg-shlibdeps; the programs the
# server starts or talks to at run time are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-link)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vantrel Link developers <maintainers@vantrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote desktop server for a headset")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantrel Link lets a headset use this computer's desktop: virtual displays\n"
    "at the size the client asks for, low-latency HEVC video over QUIC, pointer,\n"
    "keyboard and clipboard, system audio, and the headset's microphone and camera.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "xserver-xorg-core, xserver-xorg-video-dummy, xvfb, xauth, openbox, tint2, xterm, pcmanfm, pulseaudio | pipewire-pulse, avahi-daemon")
# The session bus the server starts for its headless desktop, and the accessibility bus found
# through it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "trayer | stalonetray, dbus, at-spi2-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/conffiles)
include(CPack)

# The package test: cpack, dpkg-deb and lintian on the built tree (label "package": about a
# minute; `ctest -LE package` leaves it out).
add_test(NAME package.deb COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/tests/package_test.sh)
set_tests_properties(package.deb PROPERTIES ENVIRONMENT "VL_BUILD=${CMAKE_BINARY_DIR}"
                                            TIMEOUT 400 LABELS package)
