#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the Windows CLI ($QV_WIN_EXE) under Wine with the arguments given, as the Linux CLI
# would run: standard streams and the exit status passed through. Linux paths reach it as
# Z: paths (Wine's drive for /).
exec wine "${QV_WIN_EXE:?QV_WIN_EXE names the .exe}" "$@"
