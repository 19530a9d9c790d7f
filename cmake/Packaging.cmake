# The Debian package of what `cmake --install` puts in place; scripts/package.sh
# runs CPack on build/ to make it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bq4400-converter)
# CPACK_PACKAGE_VERSION is the project's version.
set(CPACK_PACKAGE_VENDOR hollowmarker)
set(CPACK_PACKAGE_CONTACT "hollowmarker <bq4400-converter@hollowmarker.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converter for dual-camera dash recorder movies")
# The control file indents each line of the long text by one space; lintian wants
# them within 80 columns, so keep these under 76.
set(CPACK_PACKAGE_DESCRIPTION
    "BRIGHTQUILL 4400 Converter turns each AVI movie of a dual-camera dash\n"
    "recorder into a front and a rear movie (MP4 with H.264 video for browsers\n"
    "and phones or MPEG-4 for desktop players, or AVI with the video copied\n"
    "unchanged) and a track of the drive's GPS and G-sensor readings, as NMEA\n"
    "sentences and GPX. Clips that follow each other are joined into one movie\n"
    "per camera and one track for the whole drive. Every file is dated with the\n"
    "drive's time; MP4 movies carry its date and place inside. Movies are\n"
    "converted with ffmpeg.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://hollowmarker.org/brightquill4400-converter/)
# Libraries from the binary (dpkg-shlibdeps), the ffmpeg the program runs and the font
# the drive movies' text is drawn in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
