# Debian packages (`make package`, i.e. cpack -G DEB in the build folder):
#   quorvex-restore-cli  component cli, no Qt
#   quorvex-restore      component gui, depends on quorvex-restore-cli of the same version
# Library dependencies are computed from the binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvex-restore)
set(CPACK_PACKAGE_VENDOR Quorvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
if(TARGET quorvex-restore)
  set(CPACK_COMPONENTS_ALL cli gui)
else()
  set(CPACK_COMPONENTS_ALL cli)
endif()

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)  # keep equal to the top entry of data/debian/changelog
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvex <restore@quorvex.io>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QV_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME quorvex-restore-cli)
set(CPACK_COMPONENT_CLI_DESCRIPTION "restore files from Quorvex backups (command line)
Quorvex Restore writes the files of a Quorvex backup folder back under their
original names, with their timestamps and permissions: plain copies, gzip
files, AES-encrypted files and zip archives (Zip64, AES-encrypted entries).
It restores selected files, whole folders, or the newest version of every
file from the backup sets written before a given day.
.
This package holds the command-line program quorvex-restore-cli, its
translations, its manual page and its completions for bash, zsh and fish.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME quorvex-restore)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION x11)
set(CPACK_COMPONENT_GUI_DEPENDS cli)
set(CPACK_COMPONENT_GUI_DESCRIPTION "restore files from Quorvex backups (desktop program)
Quorvex Restore writes the files of a Quorvex backup folder back under their
original names, with their timestamps and permissions: plain copies, gzip
files, AES-encrypted files and zip archives (Zip64, AES-encrypted entries).
.
This package holds the desktop program quorvex-restore with its menu entry,
icon and AppStream metadata. The shared translations and the command-line
program come from quorvex-restore-cli.")

include(CPack)
