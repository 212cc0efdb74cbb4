# SPDX-License-Identifier: Apache-2.0
# Rows of the transfer and restore tables left out on Windows, each with why. Everything else
# in tests/transfer and tests/restore runs under Wine as on Linux.
set(QV_WIN_transfer_EXCLUDED
  # POSIX permission bits: Windows keeps the read-only attribute only (WindowsAttributes and
  # WindowsRestoreAttributes check that one).
  CopyTarget.PermissionBitsOfTheBackupNeverMore
  CopyProperties.PermissionsAreCopiedOnRequest
  CopyProperties.ShellCopyTransfersContentModeAndTime
  FilePermissions.BitsAreCopiedAndFailuresReported
  ZipReadTest.ZipArchiveWithFoldersEmptyFileAndCommentRestores
  # Symbolic links made by the test: Wine 8 makes none (WindowsLinks says so when it runs).
  CopyTarget.RootBoundsTheTargetAndMakesMissingFolders
  CopyTarget.SourceAttributesAndTimesInOneQuery
  CopyFailures.UnreadableSourceCannotBeOpened
  FileTimes.LinksAreFollowedOnlyWhenAsked
  ZipDirectoryCheckTest.ValidArchivesOfRealWritersRestoreIdentically
  ZipIntegrityTest.LinkEntriesBecomeLinksOnlyInsideTheDestination
  ZipReadTest.DetachedEntriesEndAsTheReaderEnds
  # A FIFO as a source: Windows has none.
  CopyFailures.PipeSourceIsNoRegularFile
  # A full medium made by a file size limit (RLIMIT_FSIZE in a forked child): Windows has
  # neither.
  CopyTarget.FileSizeLimitReadsAsLowDiskSpaceAndKeepsTheOldTarget
  DecryptWorker.FullMediumIsLowDiskSpaceNotAWrongPassword
  ZipIntegrityTest.WriteFailuresKeepTheirOwnCode
  # Progress in blocks of the kernel copy (copy_file_range): Windows reads and writes, and
  # reports each buffer.
  CopyBlocks.OneByteMoreTakesASecondBlockOfOneByte
  CopyControl.CancelKeepsTheExistingTargetAndLeavesNoTemporaryFile
  CopyControl.PausedWorkerIsNotDoneAndContinuesToTheEnd
  # The creation-time option sets the creation time on Windows (WindowsTimes), not the
  # access time as on Linux.
  CopyProperties.CreationTimeOptionSetsAccessTimeToo
  # Five thousand restores of flipped archives: three minutes under Wine. The reader is the
  # same code on both systems; the sweep runs on Linux.
  ZipDirectoryCheckTest.NoFlippedHeaderBitRestoresAMissingOrDifferentFile
  )
set(QV_WIN_restore_EXCLUDED
  # Symbolic links and FIFOs in the source or the destination: Wine 8 makes none.
  KeepBothName.SmallestFreeNumberBesideTheTarget
  ListDirectory.KindsLinksAndOnlyTheDetailsAskedFor
  RestoreRun.DirectoryModeSelectedFolderIsALink
  RestoreRun.DirectoryModeWalkLinksHeadersAndCancelPerLevel
  SessionRun.FailureIsNeverReportedAsSuccess
  # Trees past Linux's path limit (6000 levels): beyond the 32767 characters of a Windows
  # path, and four minutes under Wine. WindowsPaths checks paths beyond MAX_PATH.
  SessionRun.DirectoryWalkDeeperThanThePathLimit
  )
