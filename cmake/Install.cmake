# Where `cmake --install` puts things (FHS and freedesktop.org places). Two components, which
# become the two Debian packages of cmake/Package.cmake:
#   cli  the command-line program, the catalogues, its man page and shell completions
#   gui  the desktop program, its man page, desktop entry, icon and AppStream metainfo
set(QV_APP_ID "io.quorvex.Restore")
set(QV_HOMEPAGE "https://quorvex.io/restore" CACHE STRING "Home page named in the metainfo and the packages")
# Man pages and completions are made from the CLI's option table at build time (CliDocs.cmake).
set(QV_GENERATED_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
set(QV_GENERATED_COMPLETION_DIR ${CMAKE_BINARY_DIR}/completions)

# Man pages and the Debian changelog go in compressed with gzip -9n (no name, no time, so the
# packages are reproducible).
set(QV_GZIP_DIR ${CMAKE_BINARY_DIR}/install-gz)
set(_qv_gzipped)
function(qv_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_GZIP_DIR}
    COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${source} ${output}
    DEPENDS ${source} VERBATIM)
  set(_qv_gzipped ${_qv_gzipped} ${output} PARENT_SCOPE)
endfunction()
qv_gzip(${QV_GENERATED_DOC_DIR}/quorvex-restore-cli.1 ${QV_GZIP_DIR}/quorvex-restore-cli.1.gz)
qv_gzip(${QV_GENERATED_DOC_DIR}/quorvex-restore.1 ${QV_GZIP_DIR}/quorvex-restore.1.gz)
qv_gzip(${CMAKE_SOURCE_DIR}/data/debian/changelog ${QV_GZIP_DIR}/changelog.Debian.gz)
add_custom_target(install-gz ALL DEPENDS ${_qv_gzipped})

# Debian wants a copyright file and the changelog in each package's doc folder.
function(qv_install_package_docs package component)
  install(FILES ${CMAKE_SOURCE_DIR}/data/debian/copyright ${QV_GZIP_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()

# cli
install(TARGETS quorvex-restore-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
install(FILES ${QV_GZIP_DIR}/quorvex-restore-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/quorvex-restore-cli.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME quorvex-restore-cli COMPONENT cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/_quorvex-restore-cli
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/quorvex-restore-cli.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT cli)
qv_install_package_docs(quorvex-restore-cli cli)

# gui
if(TARGET quorvex-restore)
  configure_file(${CMAKE_SOURCE_DIR}/data/${QV_APP_ID}.metainfo.xml.in
    ${CMAKE_BINARY_DIR}/data/${QV_APP_ID}.metainfo.xml @ONLY)
  install(TARGETS quorvex-restore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${QV_GZIP_DIR}/quorvex-restore.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
  install(FILES ${CMAKE_SOURCE_DIR}/data/${QV_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${CMAKE_SOURCE_DIR}/data/quorvex-restore.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME ${QV_APP_ID}.svg COMPONENT gui)
  install(FILES ${CMAKE_BINARY_DIR}/data/${QV_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT gui)
  qv_install_package_docs(quorvex-restore gui)
endif()
