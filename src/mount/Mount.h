// SPDX-License-Identifier: Apache-2.0
#pragma once
// A read-only FUSE mount of a backup folder: the CLI's mount and umount commands, and a mount
// that a program runs on a thread of its own (the window's "Browse...").
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "mount/MountTree.h"

namespace qv {

// Where the reasons of failed reads go; stderr when none is given.
using TMountLog = std::function<void(const std::string&)>;

// Why FUSE cannot be used here ("" when it can): no /dev/fuse, or it cannot be opened.
std::string FuseUnavailableReason();
// Why the folder cannot take a mount of AFolder ("" when it can): it must be an empty folder
// outside AFolder.
std::string MountPointProblem(const std::string& AMountPoint, const std::string& AFolder);

// The mount command: mounts AConfig's folder at AMountPoint, returns in the parent once the
// mount is ready unless AForeground, and serves until unmounted, SIGINT, SIGTERM or SIGHUP.
// Exit status: 0 served and unmounted, 1 the mount failed at run time, 2 FUSE is not
// available, the folder or the mount point is unfit (a line on stderr says which).
// AAskPassword (may be empty) is asked once, before the mount, when no password was given and
// the tree seems to hold encrypted items.
int RunMountCommand(const TMountConfig& AConfig, const std::string& AMountPoint, bool AForeground,
                    const std::function<std::optional<std::string>()>& AAskPassword = {});
// The umount command: 0 unmounted, 1 not unmounted (a line on stderr says why).
int RunUmountCommand(const std::string& AMountPoint);

// A mount served by a thread of the calling program, ended by Stop or the destructor.
// Typical use by the window:
//   TBackupMount mount;
//   TMountConfig config; config.Folder = backup; config.DateView = true; config.DayNumber = day;
//   if (!mount.Start(config, runtimeDir + "/quorvex-restore/2026-03-01", error)) show(error);
//   ... open mount.MountPoint() in the file manager ...
//   mount.Stop();  // when the window closes
class TBackupMount {
 public:
  TBackupMount();
  ~TBackupMount();
  TBackupMount(const TBackupMount&) = delete;
  TBackupMount& operator=(const TBackupMount&) = delete;

  // Creates AMountPoint when it is missing (its parents too), mounts and starts serving;
  // false with a translated reason. A running mount is stopped first. ALog receives the
  // reasons of failed reads (none: they are dropped).
  bool Start(const TMountConfig& AConfig, const std::string& AMountPoint, std::string& AError,
             TMountLog ALog = {});
  // Unmounts and waits for the serving thread; the mount point is left (empty) in place.
  void Stop();
  bool Running() const;
  const std::string& MountPoint() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace qv
