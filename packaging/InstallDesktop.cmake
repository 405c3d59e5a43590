# Runs at install time, when the real prefix is known. Writes the desktop entry, whose working
# folder is the program folder (Help finds the manual from there, two folders up in
# Documents), installs the icon, puts nvds on the command path and installs the man pages, shell
# completions, AppStream entry, udev rule, copyright and changelog. A system install under /opt
# puts these into /usr; any other prefix keeps them inside the prefix.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(APP_DIR "${prefix}/@NVDS_APP_DIR@")
if(prefix MATCHES "^/opt/")
  set(share "$ENV{DESTDIR}/usr/share")
  set(bin "$ENV{DESTDIR}/usr/bin")
  set(lib "$ENV{DESTDIR}/usr/lib")
else()
  set(share "$ENV{DESTDIR}${prefix}/share")
  set(bin "$ENV{DESTDIR}${prefix}/bin")
  set(lib "$ENV{DESTDIR}${prefix}/lib")
endif()
set(docs "@NVDS_DOC_DIR@")
set(pkg "@NVDS_PKG_DIR@")
set(package zb446x-nvds-configurator)

# Installs one file with the given mode bits (the tree the build wrote may be group-writable).
function(nvds_put source folder name)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${source}" "${folder}/${name}")
  file(CHMOD "${folder}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

nvds_put("${pkg}/nvds.1.gz" "${share}/man/man1" nvds.1.gz)
nvds_put("${docs}/bash-completion/completions/nvds" "${share}/bash-completion/completions" nvds)
nvds_put("${docs}/zsh/vendor-completions/_nvds" "${share}/zsh/vendor-completions" _nvds)
nvds_put("@CMAKE_CURRENT_SOURCE_DIR@/udev/60-nvds-usb-bridge.rules" "${lib}/udev/rules.d"
         60-nvds-usb-bridge.rules)
nvds_put("@CMAKE_CURRENT_SOURCE_DIR@/copyright" "${share}/doc/${package}" copyright)
nvds_put("${pkg}/changelog.gz" "${share}/doc/${package}" changelog.gz)
if(prefix MATCHES "^/opt/")
  nvds_put("@CMAKE_CURRENT_SOURCE_DIR@/lintian-overrides" "${share}/lintian/overrides" ${package})
endif()
file(MAKE_DIRECTORY "${bin}")
file(CREATE_LINK "${APP_DIR}/nvds" "${bin}/nvds" SYMBOLIC)
message(STATUS "nvds, its man page and completions under ${share} and ${bin}")
if("@NVDS_HAS_GUI@" STREQUAL "FALSE")
  return()
endif()

nvds_put("${pkg}/nvds-configurator.1.gz" "${share}/man/man1" nvds-configurator.1.gz)
nvds_put("${pkg}/${package}.metainfo.xml" "${share}/metainfo" ${package}.metainfo.xml)
nvds_put("@CMAKE_SOURCE_DIR@/docs/screenshots/main-window.png" "${share}/${package}/screenshots"
         main-window.png)
configure_file("@CMAKE_CURRENT_SOURCE_DIR@/zb446x-nvds-configurator.desktop.in"
               "${share}/applications/zb446x-nvds-configurator.desktop" @ONLY)
configure_file("@CMAKE_CURRENT_SOURCE_DIR@/zb446x-nvds-configurator.svg"
               "${share}/icons/hicolor/scalable/apps/zb446x-nvds-configurator.svg" COPYONLY)
message(STATUS "Desktop entry, icon and AppStream entry under ${share}")
