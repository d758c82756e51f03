#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"

#include <cstdint>
#include <functional>
#include <string>

// Called after every receive: whether the download began past byte 0, the
// bytes of the file held so far (from byte 0) and the file's size.
using ResumableProgress =
    std::function<void(bool resuming, std::int64_t received, std::int64_t size)>;

// Downloads the item's file into "NAME.drovick-part" beside the destination
// and keeps a record of its source beside that, so that a later call for the
// same source and destination asks only for the rest. A source that changed
// size since starts over from byte 0. A finish whose digest matched, or that
// a classic server could not verify, renames the part file to the
// destination; a digest mismatch keeps it under its part name and drops the
// record, so the next attempt starts over; any other end keeps both for the
// next attempt.
DownloadOutcome DownloadResumable(const TransferItem& item, FriendResolver* friends,
                                  const std::atomic<bool>& running,
                                  const ResumableProgress& progress,
                                  TransferDownloadOptions options = {});

// What a row or a command line shows once a download has ended:
// "Verified", "Done" (a classic server, nothing to verify against),
// "Digest mismatch", "Stopped" or "Failed".
std::string FinalTransferState(const DownloadOutcome& outcome);

// "Transferring (42%)" or "Resuming (42%)".
std::string ProgressState(bool resuming, int percent);
