// SPDX-License-Identifier: Apache-2.0
// Windows build: a device is a volume serial number.
#pragma once
#define makedev(major, minor) ((dev_t)(minor))
#define major(dev) 0u
#define minor(dev) ((unsigned)(dev))
