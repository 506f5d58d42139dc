#include "storage/metadata/metadata_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/byte_io.h"
#include "storage/io/file_io.h"
#include "common/json_parse.h"
#include "storage/metadata/metadata_file.h"
#include "storage/io/fault_injection.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using testing::TempDir;

VectorMetadata md(std::string_view properties_json, std::optional<std::string_view> document = std::nullopt) {
  return VectorMetadata(parse_json(properties_json).value().as_object(), document);
}

JsonValue json(std::string_view text) { return parse_json(text).value(); }

std::vector<std::uint8_t> file_with(std::uint64_t count, std::initializer_list<std::pair<std::uint32_t, std::string_view>> entries) {
  std::vector<std::uint8_t> out = {0x4D, 0x32, 0x53, 0x31};
  ByteWriter w(out);
  w.u64(count);
  for (const auto& [slot, text] : entries) {
    w.u32(slot);
    w.u32(static_cast<std::uint32_t>(text.size()));
    w.bytes(text);
  }
  return out;
}

std::string open_error(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  EXPECT_TRUE(write_file_atomic(*local_file_system(), path, bytes).ok());
  auto r = MetadataStore::open(local_file_system(), path);
  EXPECT_FALSE(r.ok());
  if (r.ok()) return "";
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruption) << r.error().message();
  return r.error().message();
}

std::vector<std::uint32_t> eq(const MetadataStore& s, std::string_view field, std::string_view value) {
  const auto r = s.get_eq_candidates(field, json(value));
  EXPECT_TRUE(r.has_value()) << field << "=" << value;
  return r ? std::vector<std::uint32_t>(r->begin(), r->end()) : std::vector<std::uint32_t>{};
}

TEST(MetadataStore, MissingFileOpensEmptyAndFirstFlushWritesIt) {
  TempDir dir;
  const std::string path = dir / "sub/dir/metadata.bin";
  MetadataStore store = MetadataStore::open(local_file_system(), path).value();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "sub/dir"));
  EXPECT_EQ(store.size(), 0u);
  EXPECT_FALSE(store.dirty());
  ASSERT_TRUE(store.flush().ok());
  EXPECT_FALSE(std::filesystem::exists(path));  // nothing changed, nothing written
  ASSERT_TRUE(store.put(7, md(R"({"color":"red"})")).ok());
  EXPECT_TRUE(store.dirty());
  ASSERT_TRUE(store.flush().ok());
  EXPECT_FALSE(store.dirty());
  EXPECT_FALSE(std::filesystem::exists(dir / "sub/dir/metadata.tmp"));
  const auto bytes = read_file(*local_file_system(), path).value();
  const std::string text(bytes.begin() + 20, bytes.end());
  EXPECT_EQ(text, R"({"properties":{"color":"red"},"document":null})");
  const MetadataStore reopened = MetadataStore::open(local_file_system(), path).value();
  EXPECT_EQ(reopened.get(7), md(R"({"color":"red"})"));
  EXPECT_EQ(eq(reopened, "color", "\"red\""), std::vector<std::uint32_t>{7});
}

TEST(MetadataStore, FileEdgeCases) {
  TempDir dir;
  const std::string path = dir / "metadata.bin";
  MetadataStore store = MetadataStore::open(local_file_system(), path).value();
  store.replace_all({});
  ASSERT_TRUE(store.flush().ok());
  EXPECT_EQ(std::filesystem::file_size(path), 12u);

  // A count of 0 ignores whatever follows; a later entry for a slot wins.
  auto bytes = file_with(0, {{1, "garbage"}});
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, bytes).ok());
  EXPECT_EQ(MetadataStore::open(local_file_system(), path).value().size(), 0u);
  bytes = file_with(3, {{4, R"({"properties":{"v":1}})"}, {2, R"([{}])"}, {4, R"({"properties":{"v":2},"document":"d"})"}});
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, bytes).ok());
  const MetadataStore loaded = MetadataStore::open(local_file_system(), path).value();
  EXPECT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded.get(4), md(R"({"v":2})", "d"));
  EXPECT_EQ(eq(loaded, "v", "2"), std::vector<std::uint32_t>{4});
  EXPECT_EQ(eq(loaded, "v", "1"), std::vector<std::uint32_t>{});  // withdrawn value: known, empty

  const auto many = loaded.get_many(std::vector<std::uint32_t>{4, 4, 9});
  EXPECT_EQ(many.size(), 1u);
  EXPECT_TRUE(many.contains(4));
}

TEST(MetadataStore, OpenFailuresCarryTheirMessages) {
  TempDir dir;
  const std::string path = dir / "metadata.bin";
  EXPECT_EQ(open_error(path, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            "invalid metadata magic in " + path + ": expected [77, 50, 83, 49], found [0, 0, 0, 0]");
  EXPECT_EQ(open_error(path, {0x4D, 0x32}), "failed to fill whole buffer");
  EXPECT_EQ(open_error(path, {0x4D, 0x32, 0x53, 0x31, 1, 0, 0}), "failed to fill whole buffer");
  EXPECT_EQ(open_error(path, file_with(~0ull, {{1, "{\"properties\":{}}"}})), "failed to fill whole buffer");
  EXPECT_EQ(open_error(path, file_with(1, {{1, R"({"document":null})"}})), "missing field `properties`");
  EXPECT_NE(open_error(path, file_with(1, {{1, "{"}})).find("invalid JSON"), std::string::npos);
  // A file that exists but cannot be read is an error, never an empty
  // store that the next flush would write over the real one.
  ASSERT_TRUE(write_file_atomic(*local_file_system(), path, file_with(1, {{1, R"({"properties":{}})"}})).ok());
  auto faults = std::make_shared<FaultInjectingFileSystem>(local_file_system());
  for (const FileOp op : {FileOp::kOpen, FileOp::kRead, FileOp::kStat}) {
    faults->arm(op, 1, FaultInjectingFileSystem::Action::kFail);
    const auto failed = MetadataStore::open(faults, path);
    ASSERT_FALSE(failed.ok()) << static_cast<int>(op);
    EXPECT_EQ(failed.error().kind(), ErrorKind::kIo);
  }
  faults->disarm();
  EXPECT_EQ(MetadataStore::open(faults, path)->size(), 1u);
  // Nor is a directory where the file should be.
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_EQ(MetadataStore::open(local_file_system(), path).error().kind(), ErrorKind::kIo);
}

TEST(MetadataStore, DamagedFilesFailCleanly) {
  TempDir dir;
  const std::string path = dir / "metadata.bin";
  {
    MetadataStore store = MetadataStore::open(local_file_system(), path).value();
    ASSERT_TRUE(store.put(1, md(R"({"a":[1,{"b":null}],"c":"\u00e9"})", "doc")).ok());
    ASSERT_TRUE(store.put(2, md(R"({"n":-1.5e300})")).ok());
    ASSERT_TRUE(store.flush().ok());
  }
  const std::vector<std::uint8_t> good = read_file(*local_file_system(), path).value();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    const auto r = decode_metadata_file(std::span(good).first(cut), "m");
    EXPECT_FALSE(r.ok()) << "cut at " << cut;
  }
  std::mt19937 rng(7);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<std::uint8_t> bad = good;
    for (int flips = 1 + trial % 3; flips > 0; --flips) {
      bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    (void)decode_metadata_file(bad, "m");  // any outcome but a crash
  }
}

TEST(MetadataStore, ReportsTheFirstFaultInFileOrder) {
  // Records are parsed in parallel ranges; the error must still be the one
  // a front-to-back read meets first.
  std::vector<std::uint8_t> bytes = {0x4D, 0x32, 0x53, 0x31};
  ByteWriter w(bytes);
  constexpr std::uint32_t kCount = 9000;
  w.u64(kCount + 1);  // one more than present: the file is also cut short
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const std::string_view text = i == 7000 ? R"({"document":null})" : i == 8000 ? "{" : R"({"properties":{}})";
    w.u32(i);
    w.u32(static_cast<std::uint32_t>(text.size()));
    w.bytes(text);
  }
  EXPECT_EQ(decode_metadata_file(bytes, "m").error().message(), "missing field `properties`");
}

TEST(MetadataStore, RefusesWhatCannotBeStoredOrReadBack) {
  TempDir dir;
  MetadataStore store = MetadataStore::open(local_file_system(), dir / "metadata.bin").value();
  JsonValue deep = JsonValue::null();
  for (std::size_t i = 0; i < kMaxJsonDepth; ++i) deep = JsonValue::array({deep});
  EXPECT_FALSE(store.put(3, VectorMetadata(JsonObject({{"d", deep}}), std::nullopt)).ok());
  EXPECT_EQ(store.size(), 0u);
  EXPECT_FALSE(store.dirty());

  // A record longer than the length field can say is refused, not truncated.
  const MetadataEntry entry{5, md(R"({"text":"0123456789"})")};
  const auto encoded = encode_metadata_file(std::span(&entry, 1), 20);
  ASSERT_FALSE(encoded.ok());
  EXPECT_EQ(encoded.error().message(),
            "metadata of slot 5 is 52 bytes of JSON; a metadata.bin record holds at most 20");
}

TEST(MetadataStore, FailedFlushStaysDirtyAndKeepsTheFile) {
  TempDir dir;
  const std::string path = dir / "metadata.bin";
  MetadataStore store = MetadataStore::open(local_file_system(), path).value();
  ASSERT_TRUE(store.put(1, md(R"({"v":1})")).ok());
  ASSERT_TRUE(store.flush().ok());
  const auto before = read_file(*local_file_system(), path).value();
  std::filesystem::create_directory(dir / "metadata.tmp");  // the temporary file cannot be created
  ASSERT_TRUE(store.put(1, md(R"({"v":2})")).ok());
  EXPECT_FALSE(store.flush().ok());
  EXPECT_TRUE(store.dirty());
  EXPECT_EQ(read_file(*local_file_system(), path).value(), before);
  std::filesystem::remove(dir / "metadata.tmp");
  EXPECT_TRUE(store.flush().ok());
  EXPECT_EQ(MetadataStore::open(local_file_system(), path).value().get(1), md(R"({"v":2})"));
}

TEST(MetadataIndex, EqualityKeysFollowTypedEquality) {
  TempDir dir;
  MetadataStore s = MetadataStore::open(local_file_system(), dir / "metadata.bin").value();
  ASSERT_TRUE(s.put(1, md(R"({"n":1,"tags":["a"],"meta":{"k":1},"z":null,"neg":-0.0})")).ok());
  ASSERT_TRUE(s.put(2, md(R"({"n":1.0,"neg":0.0})")).ok());
  EXPECT_EQ(eq(s, "n", "1"), std::vector<std::uint32_t>{1});
  EXPECT_EQ(eq(s, "n", "1.0"), std::vector<std::uint32_t>{2});
  EXPECT_EQ(eq(s, "z", "null"), std::vector<std::uint32_t>{1});
  EXPECT_EQ(eq(s, "neg", "0.0"), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(eq(s, "neg", "-0.0"), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_FALSE(s.get_eq_candidates("tags", json(R"(["a"])")).has_value());
  EXPECT_FALSE(s.get_eq_candidates("meta", json(R"({"k":1})")).has_value());
  EXPECT_FALSE(s.get_eq_candidates("tags", json("\"a\"")).has_value());  // arrays enter no index
  EXPECT_FALSE(s.get_eq_candidates("missing", json("1")).has_value());
}

}  // namespace
}  // namespace velq

namespace velq {
namespace {

std::optional<std::vector<std::uint32_t>> range(const MetadataStore& s, RangeBound lower, RangeBound upper) {
  return s.get_range_candidates("x", lower, upper);
}

RangeBound incl(double v) { return RangeBound::inclusive(*f64_order_key(v)); }
RangeBound excl(double v) { return RangeBound::exclusive(*f64_order_key(v)); }

TEST(MetadataIndex, RangeBoundsSelectKeys) {
  TempDir dir;
  MetadataStore s = MetadataStore::open(local_file_system(), dir / "metadata.bin").value();
  const char* values[] = {"1", "3", "3.0", "5", "-0.0", "-2", "\"4\""};
  for (std::uint32_t slot = 0; slot < std::size(values); ++slot) {
    ASSERT_TRUE(s.put(slot, md(std::string(R"({"x":)") + values[slot] + "}")).ok());
  }
  const auto none = RangeBound::unbounded();
  EXPECT_EQ(range(s, incl(3), none), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(range(s, excl(3), none), (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(range(s, none, excl(3)), (std::vector<std::uint32_t>{0, 4, 5}));
  EXPECT_EQ(range(s, excl(-2), incl(3)), (std::vector<std::uint32_t>{0, 1, 2, 4}));
  EXPECT_EQ(range(s, incl(0), incl(0)), (std::vector<std::uint32_t>{4}));  // -0.0 counts as 0
  EXPECT_EQ(range(s, excl(5), excl(3)), std::nullopt);
  EXPECT_EQ(range(s, excl(3), excl(3)), std::nullopt);
  EXPECT_EQ(range(s, incl(3), excl(3)), std::nullopt);
  EXPECT_EQ(range(s, none, none), std::nullopt);
  EXPECT_EQ(range(s, incl(100), none), std::nullopt);
  EXPECT_EQ(s.get_range_candidates("y", incl(0), none), std::nullopt);

  // A put moves the slot between keys; the string value never entered.
  ASSERT_TRUE(s.put(3, md(R"({"x":-10})")).ok());
  EXPECT_EQ(range(s, none, excl(-2)), (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(range(s, excl(3), none), std::nullopt);

  // Few slots spread over a large slot space (sorted rather than bitmapped).
  ASSERT_TRUE(s.put(4000000, md(R"({"x":-50})")).ok());
  ASSERT_TRUE(s.put(70000, md(R"({"x":-20.5})")).ok());
  EXPECT_EQ(range(s, none, excl(-2)), (std::vector<std::uint32_t>{3, 70000, 4000000}));
}

TEST(MetadataIndex, SlotListsStaySortedAndUnique) {
  TempDir dir;
  MetadataStore s = MetadataStore::open(local_file_system(), dir / "metadata.bin").value();
  for (std::uint32_t slot : {9u, 2u, 5u, 5u}) ASSERT_TRUE(s.put(slot, md(R"({"c":"red"})")).ok());
  EXPECT_EQ(eq(s, "c", "\"red\""), (std::vector<std::uint32_t>{2, 5, 9}));
  ASSERT_TRUE(s.put(5, md(R"({"c":"blue"})")).ok());
  EXPECT_EQ(eq(s, "c", "\"red\""), (std::vector<std::uint32_t>{2, 9}));
  ASSERT_TRUE(s.put(2, md(R"({"c":"blue"})")).ok());
  ASSERT_TRUE(s.put(9, md(R"({"c":"blue"})")).ok());
  EXPECT_EQ(eq(s, "c", "\"red\""), std::vector<std::uint32_t>{});  // known value, no slots
  EXPECT_EQ(s.entries().size(), 3u);

  // Metadata taken from the store itself, stored under new slots (the
  // entries grow and move meanwhile).
  for (std::uint32_t slot = 100; slot < 140; ++slot) ASSERT_TRUE(s.put(slot, s.entries()[0].metadata).ok());
  EXPECT_EQ(eq(s, "c", "\"blue\"").size(), 43u);
}

// Random metadata under random puts and replace_all: every index answer
// equals the slots found by testing each record.
TEST(MetadataIndex, AnswersMatchAScanOfEveryRecord) {
  TempDir dir;
  MetadataStore s = MetadataStore::open(local_file_system(), dir / "metadata.bin").value();
  std::mt19937 rng(42);
  const std::vector<JsonValue> pool = {
      json("0"), json("1"), json("2"), json("-1"), json("1.0"), json("0.0"), json("-0.0"), json("2.5"),
      json("18446744073709551615"), json("9007199254740993"), json("9007199254740992"), json("\"a\""),
      json("\"1\""), json("true"), json("false"), json("null"), json("[1]"), json(R"({"k":1})")};
  auto random_metadata = [&] {
    std::vector<JsonMember> members;
    for (const char* field : {"f", "g"}) {
      if (rng() % 4 != 0) members.emplace_back(field, pool[rng() % pool.size()]);
    }
    return VectorMetadata(JsonObject(std::move(members)), std::nullopt);
  };
  for (int round = 0; round < 300; ++round) {
    if (round % 100 == 99) {
      std::vector<MetadataEntry> all;
      for (int i = 0; i < 40; ++i) all.push_back({static_cast<std::uint32_t>(rng() % 60), random_metadata()});
      s.replace_all(std::move(all));
    } else {
      ASSERT_TRUE(s.put(rng() % 60, random_metadata()).ok());
    }
    for (const char* field : {"f", "g"}) {
      const JsonValue& probe = pool[rng() % pool.size()];
      std::vector<std::uint32_t> scan_eq;
      std::vector<std::uint32_t> scan_range;
      const double low = probe.is_number() ? probe.as_f64_lossy() : 0.0;
      for (const MetadataEntry& e : s.entries()) {
        const JsonValue* v = e.metadata.properties.find(field);
        if (v != nullptr && *v == probe) scan_eq.push_back(e.slot);
        if (v != nullptr && v->is_number() && v->as_f64_lossy() >= low) scan_range.push_back(e.slot);
      }
      const auto by_index = s.get_eq_candidates(field, probe);
      if (by_index) {
        EXPECT_EQ(std::vector<std::uint32_t>(by_index->begin(), by_index->end()), scan_eq);
      } else {
        EXPECT_TRUE(scan_eq.empty() || probe.is_array() || probe.is_object());
      }
      const auto by_range = s.get_range_candidates(field, incl(low), RangeBound::unbounded());
      EXPECT_EQ(by_range.value_or(std::vector<std::uint32_t>{}), scan_range);
    }
  }
}

}  // namespace
}  // namespace velq
