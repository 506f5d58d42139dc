#include "storage/log/segment.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/byte_io.h"

namespace velq {

namespace {

bool is_segment_key(std::string_view key) {
  const std::string_view prefix = segment_format::kNamePrefix;
  const std::string_view suffix = segment_format::kNameSuffix;
  return key.size() >= prefix.size() + suffix.size() && key.substr(0, prefix.size()) == prefix &&
         key.substr(key.size() - suffix.size()) == suffix;
}

// The number in "seg-<number>.bin": decimal digits after one optional '+';
// nullopt for anything else or an overflow.
std::optional<std::uint64_t> segment_number(std::string_view key) {
  std::string_view text = key.substr(std::strlen(segment_format::kNamePrefix));
  text.remove_suffix(std::strlen(segment_format::kNameSuffix));
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
}

}  // namespace

Result<SegmentManager> SegmentManager::open(std::shared_ptr<const StorageBackend> backend) {
  SegmentManager mgr(std::move(backend));
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::string> keys, mgr.backend_->provider->list(""));
  for (const std::string& key : keys) {
    if (!is_segment_key(key)) continue;
    VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, mgr.backend_->provider->read(key));
    ByteReader r(bytes);
    std::uint64_t count = 0;
    if (r.u64(count)) {  // a file shorter than its count is not a segment
      const bool checksummed =
          bytes.size() >= segment_format::kHeaderSize &&
          std::memcmp(bytes.data() + segment_format::kCountSize, segment_format::kMagic,
                      sizeof segment_format::kMagic) == 0;
      mgr.segments_.push_back(Segment{key, count, checksummed});
    }
    // Its number is taken even when the file is too short, so a name is
    // never reused.
    if (const auto n = segment_number(key); n && *n != UINT64_MAX) {
      mgr.next_seq_ = std::max(mgr.next_seq_, *n + 1);
    }
  }
  std::stable_sort(mgr.segments_.begin(), mgr.segments_.end(),
                   [](const Segment& a, const Segment& b) { return a.name < b.name; });
  return mgr;
}

Status SegmentManager::flush_batch(std::vector<SegmentRecord> records) {
  if (records.empty()) return ok_status();
  const std::string name = segment_name(next_seq_);
  VELQ_RETURN_IF_ERROR(backend_->provider->write(name, encode_segment(records)));
  segments_.push_back(Segment{name, records.size(), true});
  ++next_seq_;
  return ok_status();
}

Result<std::vector<SegmentRecord>> SegmentManager::read_records(const Segment& segment) const {
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, backend_->provider->read(segment.name));
  return decode_segment(bytes);
}

std::uint64_t SegmentManager::total_disk_size() const {
  std::uint64_t total = 0;
  for (const Segment& s : segments_) {
    const Result<std::uint64_t> size = backend_->provider->size(s.name);
    if (size.ok()) total += *size;
  }
  return total;
}

}  // namespace velq
