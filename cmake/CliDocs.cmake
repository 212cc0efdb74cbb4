# SPDX-License-Identifier: Apache-2.0
# Man pages and shell completions, written by the CLI from its own option table at build time.
set(QV_CLI_DOCS
  "man-cli|doc/quorvex-restore-cli.1"
  "man-gui|doc/quorvex-restore.1"
  "bash|completions/quorvex-restore-cli.bash"
  "zsh|completions/_quorvex-restore-cli"
  "fish|completions/quorvex-restore-cli.fish")
set(_qv_doc_outputs)
foreach(_doc ${QV_CLI_DOCS})
  string(REPLACE "|" ";" _parts "${_doc}")
  list(GET _parts 0 _kind)
  list(GET _parts 1 _file)
  set(_out ${CMAKE_BINARY_DIR}/${_file})
  get_filename_component(_dir ${_out} DIRECTORY)
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND $<TARGET_FILE:quorvex-restore-cli> --generate ${_kind} ${_out}
    DEPENDS quorvex-restore-cli
    COMMENT "Generating ${_file}" VERBATIM)
  list(APPEND _qv_doc_outputs ${_out})
endforeach()
add_custom_target(cli-docs ALL DEPENDS ${_qv_doc_outputs})
