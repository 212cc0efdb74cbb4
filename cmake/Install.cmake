# Where `cmake --install` puts things (FHS and freedesktop.org places). Two components, which
# become the two Debian packages of cmake/Package.cmake:
#   cli  the command-line program, the catalogues, its man page and shell completions
#   gui  the desktop program, its man page, desktop entry, icon and AppStream metainfo
set(QV_APP_ID "io.quorvex.Restore")
set(QV_HOMEPAGE "https://quorvex.io/restore" CACHE STRING "Home page named in the metainfo and the packages")
# Man pages and completions come from the CLI's option table at build time. Until their
# generator exists a missing file is skipped; with ON a missing file fails the installation.
option(QV_REQUIRE_GENERATED_DOCS "Fail the installation when a generated man page or completion is missing" OFF)

set(QV_GENERATED_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
set(QV_GENERATED_COMPLETION_DIR ${CMAKE_BINARY_DIR}/completions)
if(QV_REQUIRE_GENERATED_DOCS)
  set(_qv_optional "")
else()
  set(_qv_optional OPTIONAL)
endif()

# A man page goes in compressed (gzip -9n: no name, no time, so the package is reproducible).
function(qv_install_man_page page component)
  set(_page ${QV_GENERATED_DOC_DIR}/${page})
  set(_gz ${CMAKE_BINARY_DIR}/install-gz/${page}.gz)
  install(CODE "
    if(EXISTS \"${_page}\")
      file(MAKE_DIRECTORY \"${CMAKE_BINARY_DIR}/install-gz\")
      execute_process(COMMAND gzip -9nc \"${_page}\" OUTPUT_FILE \"${_gz}\" COMMAND_ERROR_IS_FATAL ANY)
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1\" TYPE FILE FILES \"${_gz}\")
    elseif(${QV_REQUIRE_GENERATED_DOCS})
      message(FATAL_ERROR \"Generated man page missing: ${_page}\")
    endif()" COMPONENT ${component})
endfunction()

# Debian wants a copyright file and the compressed changelog in each package's doc folder.
set(_qv_changelog_gz ${CMAKE_BINARY_DIR}/install-gz/changelog.Debian.gz)
add_custom_command(OUTPUT ${_qv_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/install-gz
  COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${CMAKE_SOURCE_DIR}/data/debian/changelog ${_qv_changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/data/debian/changelog VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS ${_qv_changelog_gz})

function(qv_install_package_docs package component)
  install(FILES ${CMAKE_SOURCE_DIR}/data/debian/copyright ${_qv_changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()

# cli
install(TARGETS quorvex-restore-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
qv_install_man_page(quorvex-restore-cli.1 cli)
install(FILES ${QV_GENERATED_COMPLETION_DIR}/quorvex-restore-cli.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME quorvex-restore-cli COMPONENT cli ${_qv_optional})
install(FILES ${QV_GENERATED_COMPLETION_DIR}/_quorvex-restore-cli
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT cli ${_qv_optional})
install(FILES ${QV_GENERATED_COMPLETION_DIR}/quorvex-restore-cli.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT cli ${_qv_optional})
qv_install_package_docs(quorvex-restore-cli cli)

# gui
if(TARGET quorvex-restore)
  configure_file(${CMAKE_SOURCE_DIR}/data/${QV_APP_ID}.metainfo.xml.in
    ${CMAKE_BINARY_DIR}/data/${QV_APP_ID}.metainfo.xml @ONLY)
  install(TARGETS quorvex-restore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  qv_install_man_page(quorvex-restore.1 gui)
  install(FILES ${CMAKE_SOURCE_DIR}/data/${QV_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${CMAKE_SOURCE_DIR}/data/quorvex-restore.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME ${QV_APP_ID}.svg COMPONENT gui)
  install(FILES ${CMAKE_BINARY_DIR}/data/${QV_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT gui)
  qv_install_package_docs(quorvex-restore gui)
endif()
