#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// What a partly downloaded file came from, kept beside it as
// "NAME.drovick-part.info", so that a later attempt can ask for the rest
// instead of the whole file. Layout, all numbers little-endian:
//   4 bytes "DPR1", u16 host length, host bytes, u16 path length, path bytes,
//   i64 size the server announced, i64 source modification time (seconds
//   since 1970, 0 when unknown).
struct TransferPartRecord {
    std::string sourceHost;
    std::string sourcePath;
    std::int64_t size = 0;
    std::int64_t modified = 0;
};

// The names beside a destination: the bytes received so far and their record.
std::filesystem::path PartFileOf(const std::filesystem::path& destination);
std::filesystem::path PartRecordOf(const std::filesystem::path& destination);

// Written whole or not at all (temporary file and rename).
bool WritePartRecord(const std::filesystem::path& file, const TransferPartRecord& record);
// Nothing when the file is missing, larger than a record can be, or does not
// parse exactly; a negative size counts as damage.
std::optional<TransferPartRecord> ReadPartRecord(const std::filesystem::path& file);
