# The Debian package (scripts/package.sh): everything `cmake --install` lays out, under /usr,
# with the libraries it needs found from the binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tralux)
set(CPACK_PACKAGE_VENDOR "The Tralux developers")
set(CPACK_PACKAGE_CONTACT "The Tralux developers <developers@tralux.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tralux.org/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "balance the perceived loudness of WAV files
Tralux balances the perceived loudness of a set of 16-bit stereo 44.1 kHz
WAV files. It measures each file's peak and loudness, writes a normalised
copy of it and brings every copy to one reference loudness: that of the
quietest file, of the loudest, of a chosen file or of a named preset.
Files can be joined into track groups that keep their loudness relative
to each other. Source files are never written.
.
The package holds the window program tralux and tralux-cli, which runs the
same operations from a terminal.")
include(CPack)
