# SPDX-License-Identifier: Apache-2.0
# Where `cmake --install` puts things (FHS and freedesktop.org places). Two components, which
# debian/*.install split into the two Debian packages:
#   cli  the command-line program, the catalogues, its man page and shell completions
#   gui  the desktop program, its man page, desktop entry, icons and AppStream metainfo
# Man pages go in uncompressed; dh_compress (or the distribution's own tools) compresses them.
set(QV_APP_ID "io.quorvex.Restore")
set(QV_HOMEPAGE "https://quorvex.io/restore" CACHE STRING "Home page named in the metainfo")
# Man pages and completions are made from the CLI's option table at build time (CliDocs.cmake).
set(QV_GENERATED_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
set(QV_GENERATED_COMPLETION_DIR ${CMAKE_BINARY_DIR}/completions)

# cli
install(TARGETS quorvex-restore-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
install(FILES ${QV_GENERATED_DOC_DIR}/quorvex-restore-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/quorvex-restore-cli.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME quorvex-restore-cli COMPONENT cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/_quorvex-restore-cli
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/quorvex-restore-cli.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT cli)

# gui
if(TARGET quorvex-restore)
  configure_file(${CMAKE_SOURCE_DIR}/data/${QV_APP_ID}.metainfo.xml.in
    ${CMAKE_BINARY_DIR}/data/${QV_APP_ID}.metainfo.xml @ONLY)
  install(TARGETS quorvex-restore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${QV_GENERATED_DOC_DIR}/quorvex-restore.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
  install(FILES ${CMAKE_SOURCE_DIR}/data/${QV_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${CMAKE_SOURCE_DIR}/data/quorvex-restore.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME ${QV_APP_ID}.svg COMPONENT gui)
  # PNG icons for menus and docks that do not draw SVG, rendered from the SVG at build time.
  find_program(RSVG_CONVERT rsvg-convert REQUIRED)
  set(_qv_icons)
  foreach(size 16 32 48 64 128 256)
    set(_png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${QV_APP_ID}.png)
    add_custom_command(OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --keep-aspect-ratio
        --output ${_png} ${CMAKE_SOURCE_DIR}/data/quorvex-restore.svg
      DEPENDS ${CMAKE_SOURCE_DIR}/data/quorvex-restore.svg VERBATIM)
    list(APPEND _qv_icons ${_png})
    install(FILES ${_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      COMPONENT gui)
  endforeach()
  add_custom_target(icons ALL DEPENDS ${_qv_icons})
  install(FILES ${CMAKE_BINARY_DIR}/data/${QV_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT gui)
endif()
