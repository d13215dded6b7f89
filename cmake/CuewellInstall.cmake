# Installation into the usual folders of a desktop system, and the Debian
# package made from it by CPack (cpack -G DEB).

install(TARGETS cuewell oscmonitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Found relative to the executable (CUEWELL_DATA_FROM_BIN), so a staged or
# relocated install works as well as one in the prefix it was built for.
install(FILES ${CMAKE_SOURCE_DIR}/resources/Pin_16T3.bmp
        DESTINATION ${CMAKE_INSTALL_DATADIR}/cuewell)
install(FILES ${CMAKE_SOURCE_DIR}/resources/org.cuewell.Cuewell.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/org.cuewell.Cuewell.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
configure_file(${CMAKE_SOURCE_DIR}/resources/org.cuewell.Cuewell.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/org.cuewell.Cuewell.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/org.cuewell.Cuewell.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_PACKAGE_NAME cuewell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Cuewell")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Call the cues of a live show from its PDF script")
set(CPACK_PACKAGE_DESCRIPTION
    "Cuewell shows a show's PDF script a page at a time. Cues pinned on the pages\n"
    "carry Open Sound Control messages; the space bar fires them as UDP datagrams\n"
    "to the sound and lighting controllers.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Cuewell developers <cuewell@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Qt, C++ and C libraries the binaries link, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so invisible to dpkg-shlibdeps: a font for the window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core | fonts-freefont-ttf | ttf-bitstream-vera")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hicolor-icon-theme, desktop-file-utils")
include(CPack)
