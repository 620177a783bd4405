# `cmake --install` lays out one program directory, <prefix>/lib/velunor-link, as the
# panel expects it: the panel, the route service, the tools and stand-ins, the
# translations and the icon, the ASIO driver; a desktop entry for the panel; the commands
# a user types as links in <prefix>/bin with their manual pages; the driver host's
# systemd unit and the tmpfiles.d entry of its shared folders. `cpack -G DEB` makes a
# Debian package of it (packaging/: maintainer scripts, copyright, changelog).
include(GNUInstallDirs)
set(VELUNOR_PROGDIR "lib/velunor-link")
set(PKG_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(VELUNOR_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "where the driver host's unit goes")
set(VELUNOR_TMPFILES_DIR "/usr/lib/tmpfiles.d" CACHE PATH "where the tmpfiles.d entry goes")

# VelunorCore (the program) finds libVelunorCore.so beside it, wherever it is installed.
if(TARGET VelunorCore_program)
  set_target_properties(VelunorCore_program PROPERTIES INSTALL_RPATH "\$ORIGIN")
endif()

set(PROG_TARGETS VelunorLinkVSC VelunorRoute schtasks winver velunor-ctl asiohost Velunor-rEduVuzi
  VelunorCh VelunorCore VelunorCore_program)
foreach(t ${PROG_TARGETS})
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${VELUNOR_PROGDIR} LIBRARY DESTINATION ${VELUNOR_PROGDIR})
  endif()
endforeach()
# The driver, its host (which loads the driver beside it) and devcon go to driver/.
foreach(t velunor-kernel VelunorAudio devcon)
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${VELUNOR_PROGDIR}/driver LIBRARY DESTINATION ${VELUNOR_PROGDIR}/driver)
  endif()
endforeach()

# The commands on PATH: relative links into the program directory (each program finds
# its siblings from its real place).
set(VELUNOR_COMMANDS "velunor-link=VelunorLinkVSC" "velunor-ctl=velunor-ctl" "VelunorCore=VelunorCore"
  "velunor-kernel=driver/velunor-kernel")
set(VELUNOR_MAN_PAGES)
foreach(c ${VELUNOR_COMMANDS})
  string(REPLACE "=" ";" pair "${c}")
  list(GET pair 0 name)
  list(GET pair 1 target)
  install(CODE "
    set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${bin}\")
    file(CREATE_LINK \"../${VELUNOR_PROGDIR}/${target}\" \"\${bin}/${name}\" SYMBOLIC)
    message(STATUS \"Installing: \${bin}/${name} -> ../${VELUNOR_PROGDIR}/${target}\")")
  # Its manual page, compressed as Debian wants it.
  set(gz ${CMAKE_BINARY_DIR}/man/${name}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PKG_DIR}/man/${name}.1 > ${gz}
    DEPENDS ${PKG_DIR}/man/${name}.1 VERBATIM)
  list(APPEND VELUNOR_MAN_PAGES ${gz})
endforeach()
set(VELUNOR_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${VELUNOR_CHANGELOG}
  COMMAND gzip -9n -c ${PKG_DIR}/changelog > ${VELUNOR_CHANGELOG}
  DEPENDS ${PKG_DIR}/changelog VERBATIM)
add_custom_target(velunor_package_files ALL DEPENDS ${VELUNOR_MAN_PAGES} ${VELUNOR_CHANGELOG})
install(FILES ${VELUNOR_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PKG_DIR}/copyright ${VELUNOR_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velunor-link)

# The driver host as a system service, and its shared folders (group audio).
if(TARGET velunor-kernel)
  install(CODE "
    set(VELUNOR_KERNEL_PATH \"\${CMAKE_INSTALL_PREFIX}/${VELUNOR_PROGDIR}/driver/velunor-kernel\")
    configure_file(\"${PKG_DIR}/velunor-kernel.service.in\"
      \"\$ENV{DESTDIR}${VELUNOR_SYSTEMD_UNIT_DIR}/velunor-kernel.service\" @ONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}${VELUNOR_SYSTEMD_UNIT_DIR}/velunor-kernel.service\")")
  install(FILES ${PKG_DIR}/velunor-link.tmpfiles DESTINATION ${VELUNOR_TMPFILES_DIR} RENAME velunor-link.conf)
endif()

if(TARGET VelunorLinkVSC)
  get_target_property(PANEL_BIN_DIR VelunorLinkVSC BINARY_DIR)
  install(FILES ${PANEL_BIN_DIR}/zh.qm ${PANEL_BIN_DIR}/en.qm ${CMAKE_SOURCE_DIR}/panel/icon.ico
    DESTINATION ${VELUNOR_PROGDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/panel/pic/icon.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps
    RENAME velunor-link.png)
  # The desktop entry runs the command on PATH wherever the prefix puts it.
  install(CODE "
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
    file(MAKE_DIRECTORY \"\${dir}\")
    file(WRITE \"\${dir}/velunor-link.desktop\" \"[Desktop Entry]
Type=Application
Name=Velunor Link
Name[zh_CN]=虚拟声卡
Comment=Start and stop the virtual network sound card
Exec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velunor-link
Icon=velunor-link
Categories=AudioVideo;Audio;Settings;
Terminal=false
\")
    message(STATUS \"Installing: \${dir}/velunor-link.desktop\")")
endif()

set(CPACK_PACKAGE_NAME "velunor-link")
set(CPACK_PACKAGE_VENDOR "Velunor")
set(CPACK_PACKAGE_VERSION "3.3.0.9")
set(CPACK_DEBIAN_PACKAGE_RELEASE "1")
set(CPACK_PACKAGE_CONTACT "Velunor Link developers <velunor-link@velunor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual network sound card (AES67-style RTP over the LAN)")
set(CPACK_PACKAGE_DESCRIPTION "Velunor Link makes this computer a multi-channel network sound card.
To audio programs it offers the card's channels as ALSA devices
(velunor_out_00, velunor_in_00, ... one stereo pair each, for aplay,
JACK or PipeWire) and as an ASIO driver. To the LAN it is an AES67-style
device: it sends and receives PCM over RTP, follows a PTP grandmaster,
announces its streams with SAP/SDP and takes JSON routing commands over UDP.
.
The package holds the control panel (Velunor Link in the desktop menu,
velunor-link), the route service, the driver and its host (the system
service velunor-kernel), the ALSA plugin and the command-line tools
velunor-ctl and VelunorCore. Members of group audio use the card.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velunor Link developers <velunor-link@velunor.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap (the route service's capabilities) and groupadd of the maintainer scripts (the
# systemd helpers come with the essential init-system-helpers).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd")
# Chinese texts need a CJK font; the tray icon needs a tray (any desktop has one).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
# Stripped binaries; their debug files go to a velunor-link-dbgsym package beside it.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(VELUNOR_CONTROL_EXTRA ${PKG_DIR}/postinst ${PKG_DIR}/prerm ${PKG_DIR}/postrm)
if(VELUNOR_ALSA_CONF_DIR AND TARGET asound_module_pcm_velunor)
  # The ALSA file in /etc is the administrator's to edit: a conffile.
  file(WRITE ${CMAKE_BINARY_DIR}/conffiles "${VELUNOR_ALSA_CONF_DIR}/50-velunor-link.conf\n")
  list(APPEND VELUNOR_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${VELUNOR_CONTROL_EXTRA}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
