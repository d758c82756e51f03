#pragma once

#include "app/peer/transfer/Sha256.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// What a partly downloaded file came from, kept beside it as
// "NAME.drovick-part.info", so that a later attempt can ask for the rest
// instead of the whole file, and hash on from the last saved state of the
// part instead of reading it all again. Layout, all numbers little-endian:
//   4 bytes "DPR2", u16 host length, host bytes, u16 path length, path bytes,
//   i64 size the server announced, i64 source modification time (seconds
//   since 1970, 0 when unknown), u8 1 when a hash state follows else 0, and
//   then: u64 bytes hashed, eight u32 state words, u64 length count in bits,
//   8 bytes check (the first bytes of the SHA-256 of the 48 bytes before).
// "DPR1" records (the same without the u8 and what follows) are still read.
struct TransferPartRecord {
    std::string sourceHost;
    std::string sourcePath;
    std::int64_t size = 0;
    std::int64_t modified = 0;
    // The hash of the part's first checkpoint->bytes bytes.
    std::optional<Sha256Checkpoint> checkpoint = std::nullopt;
};

// The names beside a destination: the bytes received so far and their record.
std::filesystem::path PartFileOf(const std::filesystem::path& destination);
std::filesystem::path PartRecordOf(const std::filesystem::path& destination);

// Written whole or not at all (temporary file and rename).
bool WritePartRecord(const std::filesystem::path& file, const TransferPartRecord& record);
// Nothing when the file is missing, larger than a record can be, or does not
// parse exactly; a negative size counts as damage. A hash state whose check
// fails, or that cannot be a state, is left out and the rest still read.
std::optional<TransferPartRecord> ReadPartRecord(const std::filesystem::path& file);
