#include "storage/graph/graph_reader.h"

#include <cstring>
#include <string>

#include "common/byte_io.h"
#include "storage/graph/graph_format.h"
#include "storage/graph/varint.h"

namespace velq {

namespace {

std::uint32_t load_u32(std::span<const std::uint8_t> bytes, std::size_t pos) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + pos, sizeof v);
  return v;
}

Error corrupt(std::uint32_t node, const std::string& what) {
  return Error::corruption("corrupt graph record for node " + std::to_string(node) + ": " + what);
}

}  // namespace

void GraphLayout::parse(std::span<const std::uint8_t> map) {
  offsets.clear();
  header_len = 0;
  fault.clear();
  if (map.size() < graph_format::kFixedHeaderSize ||
      std::memcmp(map.data(), graph_format::kMagic.data(), graph_format::kMagic.size()) != 0) {
    n_nodes = 0;
    fault = "no graph header in its " + std::to_string(map.size()) + " bytes";
    return;
  }
  const std::uint32_t count = load_u32(map, 4);
  entry_point = load_u32(map, 8);
  max_level = load_u32(map, 12);
  const std::uint64_t len = graph_format::header_len(count);
  if (map.size() < len) {
    n_nodes = 0;
    fault = "its " + std::to_string(map.size()) + " bytes do not hold the offsets table of " +
            std::to_string(count) + " nodes";
    return;
  }
  ByteReader reader(map.subspan(graph_format::kFixedHeaderSize));
  offsets.resize(std::size_t{count} + 1);
  for (std::uint64_t& offset : offsets) (void)reader.u64(offset);  // fits: checked above
  n_nodes = count;
  header_len = len;
  const std::uint64_t area = map.size() - len;
  for (std::size_t i = 1; i < offsets.size() && fault.empty(); ++i) {
    if (offsets[i] < offsets[i - 1]) {
      fault = "the record offsets run backwards at node " + std::to_string(i - 1);
    }
  }
  if (fault.empty() && offsets.back() > area) {
    fault = "its " + std::to_string(map.size()) + " bytes do not hold the records of its " +
            std::to_string(count) + " nodes (" + std::to_string(len + offsets.back()) +
            " bytes)";
  }
}

Result<std::span<const std::uint8_t>> GraphView::record(std::uint32_t node) const {
  const std::uint64_t begin = layout_->offsets[node];
  const std::uint64_t end = layout_->offsets[std::size_t{node} + 1];
  const std::uint64_t area = map_.size() - layout_->header_len;
  if (begin > end || end > area) return corrupt(node, "record bounds outside the file");
  return map_.subspan(layout_->header_len + begin, end - begin);
}

Status GraphView::neighbors(std::uint32_t node, std::uint32_t level,
                            std::vector<std::uint32_t>& out) const {
  out.resize(out.capacity());
  Result<std::size_t> count = decode(node, level, out);
  if (count.ok() && *count > out.size()) {
    out.resize(*count);
    count = decode(node, level, out);
  }
  out.resize(count.ok() ? *count : 0);
  return count.ok() ? ok_status() : Status(count.error());
}

Result<std::size_t> GraphView::decode(std::uint32_t node, std::uint32_t level,
                                      std::span<std::uint32_t> out) const {
  if (node >= layout_->n_nodes) return Error::invalid_argument("OOR");
  VELQ_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> rec, record(node));
  const std::size_t len = rec.size();
  if (len < 4) return corrupt(node, "too short (" + std::to_string(len) + " bytes)");
  const std::uint32_t n_levels = load_u32(rec, 0);
  if (n_levels > graph_format::kLevelCount) {
    return corrupt(node, "implausible level count " + std::to_string(n_levels));
  }
  if (level >= n_levels) return std::size_t{0};
  std::size_t p = 4;
  for (std::uint32_t j = 0;; ++j) {
    if (p + 4 > len) return corrupt(node, "truncated at level " + std::to_string(j));
    const std::uint32_t count = load_u32(rec, p);
    p += 4;
    if (count > len) return corrupt(node, "implausible neighbour count " + std::to_string(count));
    if (j == level) {
      if (count > out.size()) return std::size_t{count};
      std::uint32_t id = 0;
      for (std::uint32_t i = 0; i < count; ++i) {
        if (p >= len) return corrupt(node, "varint overrun");
        id += read_varint(rec, p);  // wraps, like the 32-bit ids it encodes
        out[i] = id;
      }
      return std::size_t{count};
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      if (p >= len) return corrupt(node, "varint overrun while skipping");
      skip_varint(rec, p);
    }
  }
}

std::uint32_t GraphView::stored_level(std::uint32_t node) const {
  if (node >= layout_->n_nodes) return 0;
  const Result<std::span<const std::uint8_t>> rec = record(node);
  if (!rec.ok() || rec->size() < 4) return 0;
  const std::uint32_t n_levels = load_u32(*rec, 0);
  if (n_levels == 0 || n_levels > graph_format::kLevelCount) return 0;
  return n_levels - 1;
}

}  // namespace velq
