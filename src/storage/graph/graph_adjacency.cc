#include "storage/graph/graph_adjacency.h"

#include <algorithm>

namespace velq {

namespace {

// Rows are at most this many times wider than the mean list needs: wider
// lists spill. A graph whose lists are of similar lengths never spills.
constexpr std::size_t kWidthOverMean = 4;

// Appends node's list at `level` without the ids outside the graph, then
// the end of the list to `begins`; a list that does not decode adds no id.
void append_list(const GraphView& view, std::uint32_t node, std::uint32_t level,
                 std::vector<std::uint32_t>& scratch, std::vector<std::uint64_t>& begins,
                 std::vector<std::uint32_t>& ids) {
  if (view.neighbors(node, level, scratch).ok()) {
    for (const std::uint32_t v : scratch) {
      if (v < view.n_nodes()) ids.push_back(v);
    }
  }
  begins.push_back(ids.size());
}

}  // namespace

GraphAdjacency::GraphAdjacency(const GraphView& view)
    : n_nodes_(view.n_nodes()), entry_point_(view.entry_point()), max_level_(view.max_level()) {
  const std::uint32_t n = n_nodes_;
  std::vector<std::uint32_t> scratch;
  // Level 0 first as one run of lists, then laid out in rows.
  Level level0;
  level0.begins.reserve(std::size_t{n} + 1);
  level0.begins.push_back(0);
  for (Level& lists : upper_) lists.begins.push_back(0);
  upper_index_.assign(n, kNoUpper);
  std::uint32_t n_upper = 0;
  for (std::uint32_t node = 0; node < n; ++node) {
    append_list(view, node, 0, scratch, level0.begins, level0.ids);
    const std::uint32_t top = std::min(view.stored_level(node), graph_format::kTopLevel);
    if (top == 0) continue;
    upper_index_[node] = n_upper++;
    for (std::uint32_t level = 1; level <= graph_format::kTopLevel; ++level) {
      Level& lists = upper_[level - 1];
      if (level <= top) {
        append_list(view, node, level, scratch, lists.begins, lists.ids);
      } else {
        lists.begins.push_back(lists.ids.size());
      }
    }
  }
  if (n_upper == 0) upper_index_ = {};
  for (Level& lists : upper_) lists.ids.shrink_to_fit();

  const auto size_of = [&](std::uint32_t node) {
    return static_cast<std::size_t>(level0.begins[node + 1] - level0.begins[node]);
  };
  std::size_t longest = 0;
  for (std::uint32_t node = 0; node < n; ++node) longest = std::max(longest, size_of(node));
  const std::size_t mean = n == 0 ? 0 : (level0.ids.size() + n - 1) / n;
  width_ = 1 + std::max<std::size_t>(2, std::min(longest, kWidthOverMean * mean));
  rows_.assign(std::size_t{n} * width_, 0);
  for (std::uint32_t node = 0; node < n; ++node) {
    std::uint32_t* row = rows_.data() + std::size_t{node} * width_;
    const std::size_t count = size_of(node);
    const auto first = level0.ids.begin() + static_cast<std::ptrdiff_t>(level0.begins[node]);
    row[0] = static_cast<std::uint32_t>(count);
    if (count < width_) {
      std::copy(first, first + static_cast<std::ptrdiff_t>(count), row + 1);
      continue;
    }
    const std::uint64_t at = spill_.size();
    row[1] = static_cast<std::uint32_t>(at);
    row[2] = static_cast<std::uint32_t>(at >> 32);
    spill_.insert(spill_.end(), first, first + static_cast<std::ptrdiff_t>(count));
  }
}

std::span<const std::uint32_t> GraphAdjacency::upper_list(std::uint32_t node,
                                                          std::uint32_t level) const {
  if (level > graph_format::kTopLevel || upper_index_.empty()) return {};
  const std::uint32_t i = upper_index_[node];
  if (i == kNoUpper) return {};
  const Level& lists = upper_[level - 1];
  const std::uint64_t begin = lists.begins[i];
  return {lists.ids.data() + begin, static_cast<std::size_t>(lists.begins[i + 1] - begin)};
}

std::size_t GraphAdjacency::memory_bytes() const {
  std::size_t bytes = sizeof(*this) + 4 * (rows_.capacity() + spill_.capacity() +
                                           upper_index_.capacity());
  for (const Level& lists : upper_) {
    bytes += 8 * lists.begins.capacity() + 4 * lists.ids.capacity();
  }
  return bytes;
}

}  // namespace velq
