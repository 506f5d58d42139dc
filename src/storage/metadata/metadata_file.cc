#include "storage/metadata/metadata_file.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/byte_io.h"
#include "common/worker_pool.h"

namespace velq {
namespace {

// Records per parallel task: a few hundred kilobytes of text.
constexpr std::size_t kRecordsPerTask = 2048;

Error unexpected_eof() { return Error::corruption("failed to fill whole buffer"); }

std::string byte_list(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(bytes[i]);
  }
  return out + "]";
}

}  // namespace

Result<std::vector<MetadataEntry>> decode_metadata_file(std::span<const std::uint8_t> bytes,
                                                        std::string_view path) {
  ByteReader reader(bytes);
  std::span<const std::uint8_t> magic;
  if (!reader.take(kMetadataMagic.size(), magic)) return unexpected_eof();
  if (!std::ranges::equal(magic, kMetadataMagic)) {
    return Error::corruption("invalid metadata magic in " + std::string(path) + ": expected " +
                 byte_list(kMetadataMagic) + ", found " + byte_list(magic));
  }
  std::uint64_t count = 0;
  if (!reader.u64(count)) return unexpected_eof();
  // First the entry headers, in order, up to where the bytes run out; then
  // the records, parsed in parallel. Errors come out as a sequential read
  // would meet them: the first bad record before the cut, else the cut.
  struct Located {
    std::uint32_t slot;
    std::string_view text;
  };
  std::vector<Located> located;
  // Every entry takes at least its header: never reserve beyond the bytes.
  located.reserve(reader.fits(count, kMetadataEntryHeaderBytes) ? count
                                                                 : reader.remaining() / kMetadataEntryHeaderBytes);
  bool cut_short = false;
  for (std::uint64_t i = 0; i < count && !cut_short; ++i) {
    std::uint32_t slot = 0;
    std::uint32_t length = 0;
    std::span<const std::uint8_t> text;
    cut_short = !reader.u32(slot) || !reader.u32(length) || !reader.take(length, text);
    if (!cut_short) located.push_back({slot, {reinterpret_cast<const char*>(text.data()), text.size()}});
  }

  std::vector<MetadataEntry> entries(located.size());
  std::mutex first_error_mutex;
  std::optional<std::pair<std::size_t, Error>> first_error;
  parallel_for(located.size(), kRecordsPerTask, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      auto metadata = metadata_from_json(located[i].text);
      if (!metadata.ok()) {
        const std::lock_guard lock(first_error_mutex);
        if (!first_error || i < first_error->first) first_error.emplace(i, std::move(metadata).error());
        return;  // later records of this range cannot come first
      }
      entries[i] = {located[i].slot, std::move(metadata).value()};
    }
  });
  if (first_error) return std::move(first_error->second).with_kind(ErrorKind::kCorruption);
  if (cut_short) return unexpected_eof();
  return entries;
}

Result<std::vector<std::uint8_t>> encode_metadata_file(std::span<const MetadataEntry> entries,
                                                       std::uint64_t max_record_bytes) {
  std::vector<std::uint8_t> out;
  out.reserve(kMetadataHeaderBytes + entries.size() * (kMetadataEntryHeaderBytes + 128));
  ByteWriter writer(out);
  writer.bytes(kMetadataMagic);
  writer.u64(entries.size());
  std::string text;
  text.reserve(128);
  for (const MetadataEntry& entry : entries) {
    text.clear();
    VELQ_RETURN_IF_ERROR(append_metadata_json(text, entry.metadata));
    if (text.size() > max_record_bytes) {
      return Error::invalid_argument("metadata of slot " + std::to_string(entry.slot) + " is " + std::to_string(text.size()) +
                   " bytes of JSON; a metadata.bin record holds at most " +
                   std::to_string(max_record_bytes));
    }
    writer.u32(entry.slot);
    writer.u32(static_cast<std::uint32_t>(text.size()));
    writer.bytes(text);
  }
  return out;
}

}  // namespace velq
