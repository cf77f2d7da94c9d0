# Install layout and the Debian package.
#
# panelctl finds telvdrv and the vendor's telvtool and eeprom next to itself
# and the firmware in ../firmware/, so they all live in one folder of their
# own under /opt, the place for software that keeps such a private layout,
# with links in /usr/bin.
# Every destination is relative to the prefix, which is the root of the tree:
# "/" by default and in the package; `cmake --install BUILD --prefix DIR`
# lays the same tree out under DIR.
#
# Left out on purpose: tavrik-sim and tavrik-fwserver (they serve tests and
# trying things out, and tavrik-sim would pull umockdev onto users' machines),
# and the stand-ins telvtool and eeprom: they speak only to simulated boot
# loaders, and under those names they would hide why a real upgrade fails and
# overwrite the vendor's tools the user put in their place.
if(WIN32)
  # The program folder on Windows: the programs in bin\ and the firmware in
  # firmware\ beside it, where they look for it. scripts/build-windows adds
  # the DLLs and plugins and makes the installer.
  install(TARGETS panelctl spanmon logomerge tavrikctl RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/firmware/README DESTINATION firmware RENAME README.txt)
  install(DIRECTORY DESTINATION firmware/TELV)
  install(DIRECTORY DESTINATION firmware/K2T-K5TX)
  return()
endif()

# A tree configured before these rules existed keeps CMake's /usr/local.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT
   OR (NOT DEFINED CACHE{TAVRIK_INSTALL_APPDIR} AND CMAKE_INSTALL_PREFIX STREQUAL "/usr/local"))
  set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Root of the installed tree" FORCE)
endif()
set(TAVRIK_INSTALL_APPDIR "opt/tavrik" CACHE STRING "Folder of the programs, telvdrv, the tools and the firmware, below the prefix")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(_tavrik_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_tavrik_programs panelctl spanmon logomerge)

foreach(target IN ITEMS ${_tavrik_programs} tavrikctl telvdrv tavrik-monitord)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${TAVRIK_INSTALL_APPDIR}/bin)
  endif()
endforeach()



# Relative links, so that an unpacked copy of the tree works where it lies.
# applicationDirPath() follows them to the real folder.
set(_tavrik_links ${CMAKE_CURRENT_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${_tavrik_links})

# tavrikctl: on the PATH like the windows, with its manual page and bash
# completion, both made from its own help texts at build time.
if(TARGET tavrikctl)
  file(RELATIVE_PATH link_target /usr/bin /${TAVRIK_INSTALL_APPDIR}/bin/tavrikctl)
  file(CREATE_LINK ${link_target} ${CMAKE_CURRENT_BINARY_DIR}/install-links/tavrikctl SYMBOLIC)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/install-links/tavrikctl DESTINATION usr/bin)
  install(FILES ${CMAKE_BINARY_DIR}/tavrikctl/tavrikctl.1.gz DESTINATION usr/share/man/man1)
  install(FILES ${CMAKE_BINARY_DIR}/tavrikctl/tavrikctl.bash DESTINATION usr/share/bash-completion/completions
    RENAME tavrikctl)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/tavrikctl-output.schema.json DESTINATION usr/share/doc/tavrik-screen-tools)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/fleet/README.md ${PROJECT_SOURCE_DIR}/docs/fleet/hosts.ini
    ${PROJECT_SOURCE_DIR}/docs/fleet/upgrade-screens.yml DESTINATION usr/share/doc/tavrik-screen-tools/fleet)
endif()
foreach(program IN LISTS _tavrik_programs)
  if(TARGET ${program})
    file(RELATIVE_PATH link_target /usr/bin /${TAVRIK_INSTALL_APPDIR}/bin/${program})
    file(CREATE_LINK ${link_target} ${_tavrik_links}/${program} SYMBOLIC)
    install(FILES ${_tavrik_links}/${program} DESTINATION usr/bin)
    install(FILES ${CMAKE_BINARY_DIR}/tavrikctl/${program}.1.gz DESTINATION usr/share/man/man1)
    install(FILES ${_tavrik_pkg}/applications/tavrik-${program}.desktop DESTINATION usr/share/applications)
    install(FILES ${_tavrik_pkg}/icons/scalable/tavrik-${program}.svg
      DESTINATION usr/share/icons/hicolor/scalable/apps)
    install(FILES ${_tavrik_pkg}/icons/256x256/tavrik-${program}.png
      DESTINATION usr/share/icons/hicolor/256x256/apps)
  endif()
endforeach()

install(FILES ${_tavrik_pkg}/firmware/README DESTINATION ${TAVRIK_INSTALL_APPDIR}/firmware)
install(DIRECTORY DESTINATION ${TAVRIK_INSTALL_APPDIR}/firmware/TELV)
install(DIRECTORY DESTINATION ${TAVRIK_INSTALL_APPDIR}/firmware/K2T-K5TX)

# The monitor service: a user unit enabled for every user, and an autostart
# entry for sessions without a systemd user session.
if(TARGET tavrik-monitord)
  configure_file(${_tavrik_pkg}/systemd/tavrik-monitord.service.in
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/tavrik-monitord.service @ONLY)
  configure_file(${_tavrik_pkg}/autostart/tavrik-monitord.desktop.in
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/tavrik-monitord.desktop @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/tavrik-monitord.service DESTINATION usr/lib/systemd/user)
  install(FILES ${_tavrik_pkg}/systemd/80-tavrik.preset DESTINATION usr/lib/systemd/user-preset)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/tavrik-monitord.desktop DESTINATION etc/xdg/autostart)
endif()

# /lib rather than /usr/lib: where Debian 12's own packages put udev rules.
install(FILES ${_tavrik_pkg}/udev/70-tavrik.rules DESTINATION lib/udev/rules.d)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrik-screen-tools)
set(CPACK_PACKAGE_VENDOR Tavrik)
set(CPACK_PACKAGE_CONTACT "Tavrik <support@tavrik.com>" CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Test, mirror and upgrade Tavrik USB LCD screens")
set(CPACK_PACKAGE_DESCRIPTION "panelctl (Tavrik Screen Test) finds, tests and upgrades the screens,
spanmon (Tavrik Extend Monitor) mirrors the desktop onto one,
logomerge (Logo Firmware Bin Upgrade) puts a custom boot logo into a
firmware image, and tavrikctl does the screen jobs from a terminal, on
many screens at once. A udev rule gives the user at the seat access to
them.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the windowing plugins
# and OpenSSL for the firmware server's HTTPS.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libssl3")
# Monitor mode on Wayland desktops talks to the screen-cast portal and the
# PipeWire daemon, which desktops usually bring along.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hicolor-icon-theme, xdg-desktop-portal, pipewire")
# The maintainer scripts name the programs' folder, filled in here.
foreach(script preinst postinst prerm)
  configure_file(${_tavrik_pkg}/debian/${script} ${CMAKE_CURRENT_BINARY_DIR}/debian/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/debian/preinst ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst
  ${CMAKE_CURRENT_BINARY_DIR}/debian/prerm ${_tavrik_pkg}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
