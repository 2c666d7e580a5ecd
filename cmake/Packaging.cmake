# A Debian package of everything installed (cpack -G DEB in the build folder).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon-console)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quillon developers")
set(CPACK_PACKAGE_CONTACT "The Quillon developers <quillon@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test console for a CAPI 2.0 fax-over-ISDN endpoint")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "A desktop test console that hosts a sending and a receiving CAPI 2.0 fax endpoint, with\n"
    "a simulated ISDN line, and sfftool to check, render, make and convert SFF fax files.")
if(TARGET quillon-exchange)
    string(APPEND CPACK_PACKAGE_DESCRIPTION
        "\nquillon-exchange serves the simulated line to CAPI applications as a remote-CAPI\n"
        "controller (a systemd unit comes with it, not enabled).")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link (Qt 6, Poppler, libtiff, ...) come from
# dpkg-shlibdeps. The window needs Qt's platform plugins, which no library links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# libcapi20 is opened at run time, only for a real controller; the fonts draw text pages.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libcapi20-3")
include(CPack)
