// Segment files seg-NNNNNNNN.bin: one immutable file per flush of the log,
// recording which ids were written or deleted, stored through the storage
// provider. Layout in docs/formats/segment.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/io/backend.h"

// On-disk constants of seg-*.bin.
namespace velq::segment_format {

inline constexpr char kMagic[4] = {'V', 'L', 'S', 'G'};
inline constexpr std::size_t kCountSize = 8;                   // u64 record count at offset 0
inline constexpr std::size_t kHeaderSize = kCountSize + 4;     // count + magic
inline constexpr std::size_t kLengthSize = 4;                  // u32 payload length per record
inline constexpr std::size_t kCrcSize = 4;                     // u32 after each payload
inline constexpr std::size_t kFixedPayloadSize = 8 + 1;        // u64 id length + deletion flag

inline constexpr const char* kNamePrefix = "seg-";
inline constexpr const char* kNameSuffix = ".bin";

}  // namespace velq::segment_format

namespace velq {

struct SegmentRecord {
  std::string id;
  bool is_deleted = false;

  bool operator==(const SegmentRecord&) const = default;
};

// A segment file known to the manager.
struct Segment {
  std::string name;               // the storage key
  std::uint64_t record_count = 0;  // from the file's header
  bool checksummed = false;        // magic layout with per-record CRCs
};

// "seg-" + the number zero-padded to at least 8 digits + ".bin".
std::string segment_name(std::uint64_t seq);

// The whole file for `records`, in the checksummed layout.
std::vector<std::uint8_t> encode_segment(std::span<const SegmentRecord> records);

// Decodes and verifies every record of a segment image (checksummed or
// legacy layout). Fails on a truncated or malformed record and, with the
// text "segment CRC32 mismatch: record may be corrupted", on a checksum
// mismatch. Bytes after the last counted record are not examined.
Result<std::vector<SegmentRecord>> decode_segment(std::span<const std::uint8_t> image);

class SegmentManager {
 public:
  // Lists the segments at the storage root; records are not read.
  static Result<SegmentManager> open(std::shared_ptr<const StorageBackend> backend);

  // Writes `records` as the next segment in one provider write. An empty
  // batch writes nothing. On failure nothing changes, so the same batch can
  // be retried under the same name.
  Status flush_batch(std::vector<SegmentRecord> records);

  // The records of `segment`, read through the provider and verified as
  // decode_segment verifies them.
  Result<std::vector<SegmentRecord>> read_records(const Segment& segment) const;

  // Bytes of all known segments; an unreadable one counts 0.
  std::uint64_t total_disk_size() const;

  // Sorted by name after open; later flushes appended.
  const std::vector<Segment>& segments() const { return segments_; }
  std::uint64_t next_seq() const { return next_seq_; }

 private:
  explicit SegmentManager(std::shared_ptr<const StorageBackend> backend)
      : backend_(std::move(backend)) {}

  std::vector<Segment> segments_;
  std::shared_ptr<const StorageBackend> backend_;
  std::uint64_t next_seq_ = 0;
};

}  // namespace velq
