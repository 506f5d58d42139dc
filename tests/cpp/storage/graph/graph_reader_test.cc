#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/byte_io.h"
#include "index/graph_test_util.h"
#include "storage/graph/graph_adjacency.h"
#include "storage/graph/graph_format.h"
#include "storage/graph/varint.h"

namespace velq {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ParsedGraph;

// A graph.bin with the given header values and raw records.
Bytes raw_file(std::uint32_t entry_point, std::uint32_t max_level,
               const std::vector<Bytes>& records) {
  Bytes out;
  ByteWriter w(out);
  w.bytes(std::string_view("VLG3"));
  w.u32(static_cast<std::uint32_t>(records.size()));
  w.u32(entry_point);
  w.u32(max_level);
  std::uint64_t offset = 0;
  w.u64(0);
  for (const Bytes& r : records) w.u64(offset += r.size());
  for (const Bytes& r : records) w.bytes(r);
  return out;
}

// A record from u32 fields followed by raw bytes.
Bytes record(std::initializer_list<std::uint32_t> words, Bytes tail = {}) {
  Bytes out;
  ByteWriter w(out);
  for (const std::uint32_t word : words) w.u32(word);
  w.bytes(tail);
  return out;
}

std::string error_of(const GraphView& view, std::uint32_t node, std::uint32_t level) {
  std::vector<std::uint32_t> list;
  const Status status = view.neighbors(node, level, list);
  return status.ok() ? "ok" : status.error().message();
}

TEST(GraphEncode, SmallGraphIsByteExact) {
  GraphData graph;
  graph.resize(2);
  graph.levels = {0, 1};
  graph.lists[0][0] = {3, 130, 131};  // differences 3, 127, 1
  graph.lists[0][1] = {200};          // two bytes
  graph.lists[1][1] = {0};            // a list may start at id 0
  graph.entry_point = 1;
  graph.max_level = 1;
  const Bytes expected = raw_file(1, 1, {record({1, 3}, {0x03, 0x7F, 0x01}),
                                          record({2, 1}, {0xC8, 0x01, 1, 0, 0, 0, 0x00})});
  EXPECT_EQ(encode_graph(graph), expected);
  ASSERT_EQ(expected.size(), 16u + 24u + 11u + 15u);

  const ParsedGraph parsed(expected);
  std::vector<std::uint32_t> list;
  ASSERT_TRUE(parsed.view().neighbors(0, 0, list).ok());
  EXPECT_EQ(list, (std::vector<std::uint32_t>{3, 130, 131}));
  ASSERT_TRUE(parsed.view().neighbors(1, 1, list).ok());
  EXPECT_EQ(list, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(parsed.view().stored_level(1), 1u);
}

TEST(GraphEncode, EmptyGraphIsTwentyFourBytes) {
  const Bytes file = encode_graph(GraphData{});
  EXPECT_EQ(file, raw_file(0, 0, {}));
  EXPECT_EQ(file.size(), 24u);
  const ParsedGraph parsed(file);
  EXPECT_EQ(parsed.layout.n_nodes, 0u);
  EXPECT_EQ(parsed.layout.header_len, 24u);
}

TEST(GraphEncode, WideDifferencesRoundTrip) {
  Bytes bytes;
  append_varint(bytes, 1u << 28);
  append_varint(bytes, UINT32_MAX);
  EXPECT_EQ(bytes, (Bytes{0x80, 0x80, 0x80, 0x80, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));

  GraphData graph;
  graph.resize(1);
  graph.lists[0][0] = {0, 1u << 28, (1u << 28) + 1, UINT32_MAX};
  const ParsedGraph parsed(encode_graph(graph));
  std::vector<std::uint32_t> list;
  ASSERT_TRUE(parsed.view().neighbors(0, 0, list).ok());
  EXPECT_EQ(list, graph.lists[0][0]);
}

TEST(Varint, EndsAtTheEndOfItsBytesAndDropsExcessBits) {
  const Bytes open_ended = {0x81, 0x81};
  std::size_t pos = 0;
  EXPECT_EQ(read_varint(open_ended, pos), 1u + (1u << 7));
  EXPECT_EQ(pos, 2u);
  const Bytes seven_bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  pos = 0;
  EXPECT_EQ(read_varint(seven_bytes, pos), UINT32_MAX);
  EXPECT_EQ(pos, 7u);
}

TEST(GraphLayout, BadHeadersReadAsEmptyGraphs) {
  Bytes header_only = raw_file(0, 0, {});
  header_only.resize(16);  // right magic, n_nodes 0, but no offsets table
  EXPECT_EQ(ParsedGraph(header_only).layout.n_nodes, 0u);

  Bytes bad_magic = raw_file(0, 0, {record({1, 0})});
  bad_magic[3] = '2';
  EXPECT_EQ(ParsedGraph(bad_magic).layout.n_nodes, 0u);
  EXPECT_EQ(ParsedGraph(Bytes{'V', 'L', 'G'}).layout.n_nodes, 0u);

  Bytes short_table = raw_file(4, 2, {record({1, 0}), record({1, 0})});
  short_table.resize(8 * 2 + 23);
  const ParsedGraph parsed(short_table);
  EXPECT_EQ(parsed.layout.n_nodes, 0u);
  EXPECT_TRUE(parsed.layout.offsets.empty());
  EXPECT_EQ(parsed.layout.entry_point, 4u);  // read before the length check
  EXPECT_EQ(parsed.layout.max_level, 2u);
}

// The fault a layout reports is what tells the engine to stop using a file:
// any file shorter than what its header counts has one, a whole one none.
TEST(GraphLayout, FaultNamesWhatTheFileLacks) {
  const Bytes whole = raw_file(0, 0, {record({1, 1}, {0x01}), record({1, 1}, {0x00}), record({1, 0})});
  EXPECT_EQ(ParsedGraph(whole).layout.fault, "");
  EXPECT_EQ(ParsedGraph(raw_file(0, 0, {})).layout.fault, "");
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_NE(ParsedGraph(part).layout.fault, "") << cut;
  }
  Bytes halved(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2));
  EXPECT_EQ(ParsedGraph(halved).layout.fault, "its 37 bytes do not hold the offsets table of 3 nodes");
  halved.assign(whole.begin(), whole.end() - 3);
  const ParsedGraph cut(halved);
  EXPECT_EQ(cut.layout.fault, "its 71 bytes do not hold the records of its 3 nodes (74 bytes)");
  EXPECT_EQ(cut.layout.n_nodes, 3u);  // still read safely, record by record
  EXPECT_EQ(error_of(cut.view(), 2, 0), "corrupt graph record for node 2: record bounds outside the file");

  Bytes backwards = whole;
  const std::uint64_t beyond_next = 20;  // node 1 would start at 20, end at 18
  std::memcpy(backwards.data() + 16 + 8, &beyond_next, sizeof beyond_next);
  EXPECT_EQ(ParsedGraph(backwards).layout.fault, "the record offsets run backwards at node 1");
  Bytes foreign = whole;
  foreign[0] = 'X';
  EXPECT_EQ(ParsedGraph(foreign).layout.fault, "no graph header in its 74 bytes");
}

TEST(GraphReader, ReportsEachKindOfBadRecord) {
  std::vector<Bytes> records(12, record({1, 0}));
  records[1] = record({1, 1}, {0x05});
  records[7] = {1, 0, 0};
  records[8] = record({1, 1000}, Bytes(32, 0));  // 40 bytes in all
  records[9] = record({3, 2}, {0x01});              // level 0 skip runs off the end
  records[10] = record({2, 0});                     // no count for level 1
  records[11] = record({1, 3}, {0x01, 0x02});       // third id missing
  const ParsedGraph parsed(raw_file(0, 0, records));
  const GraphView view = parsed.view();

  EXPECT_EQ(error_of(view, 1, 0), "ok");
  EXPECT_EQ(error_of(view, 1, 3), "ok");  // above the node's level: empty
  EXPECT_EQ(error_of(view, 7, 0), "corrupt graph record for node 7: too short (3 bytes)");
  EXPECT_EQ(error_of(view, 8, 0),
            "corrupt graph record for node 8: implausible neighbour count 1000");
  EXPECT_EQ(error_of(view, 9, 2), "corrupt graph record for node 9: varint overrun while skipping");
  EXPECT_EQ(error_of(view, 10, 1), "corrupt graph record for node 10: truncated at level 1");
  EXPECT_EQ(error_of(view, 11, 0), "corrupt graph record for node 11: varint overrun");
  EXPECT_EQ(error_of(view, 12, 0), "OOR");
  EXPECT_EQ(view.stored_level(7), 0u);
}

// Offsets pointing backwards or past the file, or a record claiming more
// levels than exist, must be refused before anything is read through them.
TEST(GraphReader, RefusesRecordsOutsideTheFile) {
  Bytes file = raw_file(0, 0, {record({1, 1}, {0x01}), record({1, 1}, {0x00}), record({7, 0})});
  const std::size_t table = 16;
  auto set_offset = [&](std::size_t i, std::uint64_t v) {
    std::memcpy(file.data() + table + 8 * i, &v, sizeof v);
  };
  set_offset(1, 100);  // node 0 ends past the file, node 1 runs backwards
  const ParsedGraph parsed(file);
  const GraphView view = parsed.view();
  EXPECT_EQ(error_of(view, 0, 0), "corrupt graph record for node 0: record bounds outside the file");
  EXPECT_EQ(error_of(view, 1, 0), "corrupt graph record for node 1: record bounds outside the file");
  EXPECT_EQ(error_of(view, 2, 0), "corrupt graph record for node 2: implausible level count 7");
  EXPECT_EQ(view.stored_level(0), 0u);
  EXPECT_EQ(view.stored_level(2), 0u);

  set_offset(3, ~0ull);  // end offset so large that header_len + it wraps
  const ParsedGraph wrapped(file);
  EXPECT_EQ(error_of(wrapped.view(), 2, 0),
            "corrupt graph record for node 2: record bounds outside the file");
}

// Every list the adjacency holds is the decoded list without the ids
// outside the graph, at every level, including those of nodes whose records
// do not decode.
void expect_same_lists(const ParsedGraph& parsed) {
  const GraphView view = parsed.view();
  const GraphAdjacency adjacency(view);
  ASSERT_EQ(adjacency.n_nodes(), view.n_nodes());
  EXPECT_EQ(adjacency.entry_point(), view.entry_point());
  EXPECT_EQ(adjacency.max_level(), view.max_level());
  std::vector<std::uint32_t> list;
  for (std::uint32_t node = 0; node < view.n_nodes(); ++node) {
    for (std::uint32_t level = 0; level <= graph_format::kLevelCount; ++level) {
      if (!view.neighbors(node, level, list).ok()) list.clear();
      std::erase_if(list, [&](std::uint32_t v) { return v >= view.n_nodes(); });
      const std::span<const std::uint32_t> got = adjacency.list(node, level);
      ASSERT_EQ(std::vector<std::uint32_t>(got.begin(), got.end()), list)
          << "node " << node << " level " << level;
    }
  }
}

TEST(GraphAdjacency, HoldsTheDecodedListsOfRandomGraphs) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 40; ++trial) {
    const std::uint32_t n = 1 + static_cast<std::uint32_t>(rng() % 300);
    GraphData graph;
    graph.resize(n);
    for (std::uint32_t v = 0; v < n; ++v) {
      graph.levels[v] = rng() % 6 == 0 ? 1 + static_cast<std::uint32_t>(rng() % 5) : 0;
      if (graph.levels[v] >= graph.max_level) graph.entry_point = v;
      graph.max_level = std::max(graph.max_level, graph.levels[v]);
      for (std::uint32_t level = 0; level <= graph.levels[v]; ++level) {
        // Now and then one list far longer than the rest, and ids past the
        // last node, as only a damaged file holds.
        const std::size_t want = rng() % 40 == 0 ? 5 * n : rng() % 20;
        std::set<std::uint32_t> ids;
        for (std::size_t i = 0; i < want; ++i) ids.insert(static_cast<std::uint32_t>(rng() % (n + 3)));
        graph.lists[level][v].assign(ids.begin(), ids.end());
      }
    }
    expect_same_lists(testing::parse(graph));
  }
}

TEST(GraphAdjacency, DamagedRecordsGiveEmptyLists) {
  std::vector<Bytes> records(6, record({1, 1}, {0x02}));
  records[1] = {1, 0, 0};                            // too short
  records[2] = record({2, 1}, {0x00});               // no count for level 1
  records[3] = record({9, 1}, {0x00});               // implausible level count
  records[4] = record({2, 1}, {0x00, 2, 0, 0, 0, 0x04, 0x03});  // level 1: ids 4, 7
  ParsedGraph parsed(raw_file(4, 1, records));
  expect_same_lists(parsed);
  const GraphAdjacency adjacency(parsed.view());
  EXPECT_TRUE(adjacency.list(1, 0).empty());
  EXPECT_EQ(adjacency.list(4, 1).size(), 1u);  // id 4 itself; nothing past the graph

  // A record area cut short empties the lists it no longer holds.
  parsed.bytes.resize(parsed.bytes.size() - 6);
  parsed.layout.parse(parsed.bytes);
  expect_same_lists(parsed);
}

// One list as long as the graph must not make every row that wide: the
// memory stays near what the ids themselves take.
TEST(GraphAdjacency, OneLongListSpillsInsteadOfWideningEveryRow) {
  constexpr std::uint32_t kNodes = 20000;
  GraphData graph;
  graph.resize(kNodes);
  for (std::uint32_t v = 0; v < kNodes; ++v) graph.lists[0][v] = {(v + 1) % kNodes};
  std::sort(graph.lists[0][0].begin(), graph.lists[0][0].end());
  graph.lists[0][7].clear();
  for (std::uint32_t v = 0; v < kNodes; ++v) graph.lists[0][7].push_back(v);
  const ParsedGraph parsed = testing::parse(graph);
  const GraphAdjacency adjacency(parsed.view());
  ASSERT_EQ(adjacency.list(7, 0).size(), kNodes);
  EXPECT_EQ(adjacency.list(7, 0)[kNodes - 1], kNodes - 1);
  EXPECT_EQ(adjacency.list(8, 0)[0], 9u);
  // Rows as wide as the long list would take 1.6 GB.
  EXPECT_LT(adjacency.memory_bytes(), std::size_t{kNodes} * 4 * 16);
}

}  // namespace
}  // namespace velq
