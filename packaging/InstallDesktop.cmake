# Runs at install time, when the real prefix is known. Writes the desktop entry, whose working
# folder is the program folder (Help finds the manual from there, two folders up in
# Documents), installs the icon and puts nvds on the command path. A system install under /opt
# links these into /usr; any other prefix keeps them inside the prefix.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(APP_DIR "${prefix}/@NVDS_APP_DIR@")
if(prefix MATCHES "^/opt/")
  set(share "$ENV{DESTDIR}/usr/share")
  set(bin "$ENV{DESTDIR}/usr/bin")
else()
  set(share "$ENV{DESTDIR}${prefix}/share")
  set(bin "$ENV{DESTDIR}${prefix}/bin")
endif()
configure_file("@CMAKE_CURRENT_SOURCE_DIR@/zb446x-nvds-configurator.desktop.in"
               "${share}/applications/zb446x-nvds-configurator.desktop" @ONLY)
configure_file("@CMAKE_CURRENT_SOURCE_DIR@/zb446x-nvds-configurator.svg"
               "${share}/icons/hicolor/scalable/apps/zb446x-nvds-configurator.svg" COPYONLY)
file(MAKE_DIRECTORY "${bin}")
file(CREATE_LINK "${APP_DIR}/nvds" "${bin}/nvds" SYMBOLIC)
message(STATUS "Desktop entry, icon and nvds link under ${share} and ${bin}")
