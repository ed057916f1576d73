# The Debian package: CPack builds it from the install rules below
# (`cmake --build BUILD --target package` gives velomarcapture_<version>_<arch>.deb).
# The same rules serve `cmake --install`, under any prefix.
include(GNUInstallDirs)

set(VELOMAR_PACKAGE velomarcapture)
set(VELOMAR_MAN_PAGE ${PROJECT_SOURCE_DIR}/doc/VelomarCapture.1)
set(VELOMAR_MAN_PAGE_GZ ${CMAKE_BINARY_DIR}/VelomarCapture.1.gz)

# Man pages ship compressed; -n leaves out the name and time stamp, so the same page
# always gives the same bytes.
add_custom_command(OUTPUT ${VELOMAR_MAN_PAGE_GZ}
  COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${VELOMAR_MAN_PAGE} ${VELOMAR_MAN_PAGE_GZ}
  DEPENDS ${VELOMAR_MAN_PAGE}
  VERBATIM)
add_custom_target(velomar_man_page ALL DEPENDS ${VELOMAR_MAN_PAGE_GZ})

install(FILES ${VELOMAR_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/doc/events.schema.json
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/${VELOMAR_PACKAGE})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VELOMAR_PACKAGE})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELOMAR_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VelomarCapture developers <dev@velomar.local>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "records system audio and a microphone into one 16 kHz WAV file
VelomarCapture records what the computer plays and a microphone at the same
time, aligns both on the host clock, mixes them and writes a 16-bit WAV file.
Another program drives it: events are JSON lines on standard output, and the
line stop on standard input, SIGINT or SIGTERM ends a recording with a
finalised file. Works with PulseAudio and with PipeWire (pipewire-pulse).")
# Every library the program links, the two audio ones at least at the versions it was
# built against. Nothing needed only for building.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libgcc-s1, libstdc++6, libpulse0 (>= ${PULSE_VERSION}), libsoxr0 (>= ${SOXR_VERSION})")
include(CPack)
