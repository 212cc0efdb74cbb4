# SPDX-License-Identifier: Apache-2.0
# Catalogues: po/<domain>/<lang>.po is compiled to locale/<lang>/LC_MESSAGES/<name>.mo, where
# <name> is the domain with the program's name in front ("dialogs" -> "quorvex-restore-dialogs"),
# so that our files in the shared locale folder cannot clash with another package's. The
# domain names in src/base/Translation.h are the same prefixed names.
find_program(MSGFMT_EXECUTABLE msgfmt REQUIRED)
find_program(XGETTEXT_EXECUTABLE xgettext)
file(GLOB QV_PO_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/po/*/*.po)
set(_mo_files)
foreach(po ${QV_PO_FILES})
  get_filename_component(_lang ${po} NAME_WE)
  get_filename_component(_dir ${po} DIRECTORY)
  get_filename_component(_domain ${_dir} NAME)
  set(_name ${_domain})
  if(NOT _domain STREQUAL "quorvex-restore")
    set(_name "quorvex-restore-${_domain}")
  endif()
  set(_mo ${QV_BUILD_LOCALEDIR}/${_lang}/LC_MESSAGES/${_name}.mo)
  add_custom_command(OUTPUT ${_mo}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_BUILD_LOCALEDIR}/${_lang}/LC_MESSAGES
    COMMAND ${MSGFMT_EXECUTABLE} --check -o ${_mo} ${po}
    DEPENDS ${po} VERBATIM)
  list(APPEND _mo_files ${_mo})
  install(FILES ${_mo} DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${_lang}/LC_MESSAGES COMPONENT cli)
endforeach()
add_custom_target(translations ALL DEPENDS ${_mo_files})

# make xgettext: refresh the templates po/<domain>/<domain>.pot from the sources.
if(XGETTEXT_EXECUTABLE)
  add_custom_target(xgettext
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/xgettext.sh ${XGETTEXT_EXECUTABLE}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} VERBATIM)
endif()
