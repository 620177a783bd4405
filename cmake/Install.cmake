# `cmake --install` lays out one program directory, <prefix>/lib/velunor-link, as the
# panel expects it: the panel, the route service, the tools and stand-ins, the
# translations and the icon, the ASIO driver; a desktop entry for the panel. `cpack -G DEB`
# makes a Debian package of it.
include(GNUInstallDirs)
set(VELUNOR_PROGDIR "lib/velunor-link")

set(PROG_TARGETS VelunorLinkVSC VelunorRoute schtasks winver velunor-ctl asiohost Velunor-rEduVuzi
  VelunorCh VelunorCore)
foreach(t ${PROG_TARGETS})
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${VELUNOR_PROGDIR} LIBRARY DESTINATION ${VELUNOR_PROGDIR})
  endif()
endforeach()
# The driver-side engine's control library is looked for beside the panel.
if(TARGET VelunorCoreLib)
  install(TARGETS VelunorCoreLib LIBRARY DESTINATION ${VELUNOR_PROGDIR})
endif()
# The driver and its host go to driver/ once they are built.
foreach(t velunor-kernel VelunorAudio devcon)
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${VELUNOR_PROGDIR}/driver LIBRARY DESTINATION ${VELUNOR_PROGDIR}/driver)
  endif()
endforeach()

if(TARGET VelunorLinkVSC)
  get_target_property(PANEL_BIN_DIR VelunorLinkVSC BINARY_DIR)
  install(FILES ${PANEL_BIN_DIR}/zh.qm ${PANEL_BIN_DIR}/en.qm ${CMAKE_SOURCE_DIR}/panel/icon.ico
    DESTINATION ${VELUNOR_PROGDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/panel/pic/icon.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps
    RENAME velunor-link.png)
  # The desktop entry names the installed panel wherever the prefix puts it.
  install(CODE "
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
    file(MAKE_DIRECTORY \"\${dir}\")
    file(WRITE \"\${dir}/velunor-link.desktop\" \"[Desktop Entry]
Type=Application
Name=Velunor Link
Name[zh_CN]=虚拟声卡
Comment=Start and stop the virtual network sound card
Exec=\${CMAKE_INSTALL_PREFIX}/${VELUNOR_PROGDIR}/VelunorLinkVSC
Icon=velunor-link
Categories=AudioVideo;Audio;Settings;
Terminal=false
\")
    message(STATUS \"Installing: \${dir}/velunor-link.desktop\")")
endif()

set(CPACK_PACKAGE_NAME "velunor-link")
set(CPACK_PACKAGE_VENDOR "Velunor")
set(CPACK_PACKAGE_VERSION "3.3.0.9")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Virtual network sound card: control panel, route service and ASIO driver")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velunor Link developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Chinese texts need a CJK font; the tray icon needs a tray (any desktop has one).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
include(CPack)
