// SPDX-License-Identifier: Apache-2.0
#pragma once
// The mount and umount commands of quorvex-restore-cli.
#include "cli/CliArgs.h"

namespace qv {

// Exit status as RunMountCommand and RunUmountCommand give it; 2 with a line when the
// program was built without FUSE.
int RunMount(const TCliCommand& command);
int RunUmount(const TCliCommand& command);

}  // namespace qv
