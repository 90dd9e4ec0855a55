# The Debian package (`make package`: build/vexal_<version>_amd64.deb). Its dependencies
# come from the shared libraries the programs link (dpkg-shlibdeps), plus the Qt plug-ins
# no linker sees: the Wayland platform, so the window runs natively on Wayland desktops,
# and the SVG image format the icons are drawn with.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexal)
set(CPACK_PACKAGE_CONTACT "Vexal developers <vexal@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "audio converter for files, folders and cue sheets")
set(CPACK_PACKAGE_DESCRIPTION
    "Vexal converts audio files, whole folders and cue sheets into AAC and
ALAC (M4A), FLAC, WAV, AIFF, MP3, Opus and Ogg Vorbis, with silence trimming,
fades, normalisation, resampling, tags and cover art, ReplayGain and
verification. It comes as a window (vexal) and a command-line tool
(vexal-cli) that can keep a converted copy of a library up to date.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/vexal/vexal")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian's own files: the copyright and a changelog, compressed as Debian ships them.
set(doc ${CMAKE_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in ${doc}/changelog @ONLY)
add_custom_command(OUTPUT ${doc}/changelog.gz
                   COMMAND gzip -9nf -k ${doc}/changelog
                   DEPENDS ${doc}/changelog)
add_custom_target(vexal_debian_doc ALL DEPENDS ${doc}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright ${doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
