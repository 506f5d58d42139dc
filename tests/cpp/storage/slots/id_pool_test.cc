#include "storage/slots/id_pool.h"

#include <gtest/gtest.h>

#include "storage/io/file_system.h"

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/byte_io.h"
#include "storage/slots/id_pool_format.h"
#include "storage/io/file_io.h"
#include "storage/temp_dir.h"

namespace velq {
namespace {

using id_pool_format::fnv1a64;
using Pairs = std::vector<std::pair<std::string, std::uint32_t>>;

// The seven fields of live_ids.bin, encoded independently of IdPool so the
// tests pin the layout and can build damaged images.
struct Image {
  std::string bytes;
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint16_t> lens;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> alive;
  std::vector<std::pair<std::uint64_t, std::vector<std::uint32_t>>> lookup;
  std::uint64_t active_count = 0;

  // An image of `ids` in slot order, all alive, each under its own hash.
  static Image of(const std::vector<std::string>& ids) {
    Image im;
    for (const std::string& id : ids) {
      im.offsets.push_back(static_cast<std::uint32_t>(im.bytes.size()));
      im.lens.push_back(static_cast<std::uint16_t>(id.size()));
      im.hashes.push_back(fnv1a64(id));
      im.alive.push_back(1);
      im.lookup.push_back({fnv1a64(id), {static_cast<std::uint32_t>(im.lookup.size())}});
      im.bytes += id;
    }
    im.active_count = ids.size();
    return im;
  }

  std::vector<std::uint8_t> encode() const {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u64(bytes.size());
    w.bytes(bytes);
    w.u64(offsets.size());
    for (auto v : offsets) w.u32(v);
    w.u64(lens.size());
    for (auto v : lens) w.u16(v);
    w.u64(hashes.size());
    for (auto v : hashes) w.u64(v);
    w.u64(alive.size());
    for (auto v : alive) w.u8(v);
    w.u64(lookup.size());
    for (const auto& [hash, slots] : lookup) {
      w.u64(hash);
      w.u64(slots.size());
      for (auto s : slots) w.u32(s);
    }
    w.u64(active_count);
    return out;
  }
};

IdPool decode(const std::vector<std::uint8_t>& bytes) {
  Result<IdPool> pool = IdPool::read_bincode(bytes);
  if (!pool.ok()) throw std::runtime_error(pool.error().message());
  return std::move(pool).value();
}

TEST(IdPool, HashesWithFnv1a64) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ull);
}

TEST(IdPool, InsertIsIdempotentAndDeleteRetiresTheSlot) {
  IdPool pool;
  EXPECT_EQ(*pool.insert(""), 0u) << "the empty id is an id";
  EXPECT_EQ(*pool.insert("a"), 1u);
  EXPECT_EQ(*pool.insert("a"), 1u);
  EXPECT_EQ(pool.slot_count(), 2u);
  EXPECT_EQ(pool.get_slot(""), 0u);

  EXPECT_EQ(pool.delete_by_id("a"), 1u);
  EXPECT_EQ(pool.get_slot("a"), std::nullopt);
  EXPECT_EQ(pool.delete_by_id("a"), std::nullopt);
  EXPECT_EQ(pool.delete_by_id("never"), std::nullopt);
  EXPECT_EQ(pool.active_count(), 1u);

  EXPECT_EQ(*pool.insert("a"), 2u) << "a deleted id comes back in a new slot";
  EXPECT_EQ(pool.iter_active(), (Pairs{{"", 0}, {"a", 2}}));
  EXPECT_EQ(pool.active_count(), 2u);
  EXPECT_EQ(pool.delete_by_id(""), 0u);
  EXPECT_EQ(pool.delete_by_id("a"), 2u);
  EXPECT_EQ(pool.active_count(), 0u);
  EXPECT_TRUE(pool.iter_active().empty());
}

TEST(IdPool, RejectsIdsLongerThan65535Bytes) {
  IdPool pool;
  EXPECT_EQ(*pool.insert(std::string(65535, 'x')), 0u);
  Result<std::uint32_t> too_long = pool.insert(std::string(65536, 'y'));
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().message(), "id is too long (65536 bytes, max 65535)");
  EXPECT_EQ(pool.slot_count(), 1u);
  EXPECT_EQ(pool.active_count(), 1u);
}

TEST(IdPool, SerializesToTheExactLayout) {
  IdPool pool;
  ASSERT_TRUE(pool.insert("a").ok());
  ASSERT_TRUE(pool.insert("bc").ok());
  ASSERT_TRUE(pool.delete_by_id("a").has_value());

  Image expected = Image::of({"a", "bc"});
  expected.alive[0] = 0;
  expected.lookup.erase(expected.lookup.begin());
  expected.active_count = 1;
  const std::vector<std::uint8_t> bytes = pool.serialize();
  EXPECT_EQ(bytes, expected.encode());
  EXPECT_EQ(bytes.size(), 8u + 3 + 8 + 8 + 8 + 4 + 8 + 16 + 8 + 2 + 8 + 16 + 4 + 8);
}

TEST(IdPool, RoundTripsThroughLiveIdsBin) {
  std::mt19937 rng(3);
  IdPool pool;
  std::vector<std::string> ids;
  for (int i = 0; i < 3000; ++i) {
    ids.push_back("id-" + std::to_string(rng()) + "-\u00e9" + std::to_string(i));
    ASSERT_TRUE(pool.insert(ids.back()).ok());
  }
  for (int i = 0; i < 3000; i += 3) ASSERT_TRUE(pool.delete_by_id(ids[i]).has_value());

  IdPool loaded = decode(pool.serialize());
  EXPECT_EQ(loaded.iter_active(), pool.iter_active());
  EXPECT_EQ(loaded.active_count(), 2000u);
  EXPECT_EQ(loaded.slot_count(), 3000u);
  for (int i = 0; i < 3000; ++i) EXPECT_EQ(loaded.get_slot(ids[i]), pool.get_slot(ids[i]));
  EXPECT_EQ(*loaded.insert("new"), 3000u);

  testing::TempDir dir;
  const std::string path = dir / "live_ids.bin";
  FileSystem& fs = *local_file_system();
  const auto load = [&] { return IdPool::read_bincode(*read_file(fs, path)); };
  ASSERT_TRUE(write_file_atomic(fs, path, IdPool().serialize()).ok());
  ASSERT_TRUE(write_file_atomic(fs, path, loaded.serialize()).ok());  // replaces the older image whole
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  Result<IdPool> from_disk = load();
  ASSERT_TRUE(from_disk.ok());
  EXPECT_EQ(from_disk->iter_active(), loaded.iter_active());

  // A write that cannot complete leaves the previous image whole.
  std::filesystem::create_directory(path + ".tmp");
  IdPool bigger = loaded;
  ASSERT_TRUE(bigger.insert("one more").ok());
  EXPECT_FALSE(write_file_atomic(fs, path, bigger.serialize()).ok());
  Result<IdPool> kept = load();
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(kept->slot_count(), loaded.slot_count());
}

// Ids whose stored hashes are equal share one lookup list and are told apart
// by their bytes; the list is written once with both slots.
TEST(IdPool, EqualHashesAreToldApartByBytes) {
  Image im = Image::of({"first", "second", "third"});
  const std::uint64_t shared = fnv1a64("second");
  im.hashes[0] = shared;
  im.hashes[1] = shared;
  IdPool pool = decode(im.encode());
  EXPECT_EQ(pool.get_slot("second"), 1u);
  EXPECT_EQ(pool.get_slot("first"), std::nullopt) << "looked up under its true hash";
  EXPECT_EQ(pool.get_slot("third"), 2u);
  EXPECT_EQ(pool.active_count(), 3u);

  const std::vector<std::uint8_t> bytes = pool.serialize();
  ByteReader in(bytes);
  std::span<const std::uint8_t> skipped;
  ASSERT_TRUE(in.take(8 + 16 + 8 + 12 + 8 + 6 + 8 + 24 + 8 + 3, skipped));
  std::uint64_t groups = 0, hash = 0, count = 0;
  std::uint32_t a = 0, b = 0;
  ASSERT_TRUE(in.u64(groups));
  EXPECT_EQ(groups, 2u);
  bool found_shared = false;
  for (std::uint64_t g = 0; g < groups; ++g) {
    ASSERT_TRUE(in.u64(hash) && in.u64(count));
    if (hash != shared) {
      ASSERT_TRUE(in.skip(count * 4));
      continue;
    }
    found_shared = true;
    ASSERT_EQ(count, 2u);
    ASSERT_TRUE(in.u32(a) && in.u32(b));
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 1u);
  }
  EXPECT_TRUE(found_shared);

  EXPECT_EQ(pool.delete_by_id("second"), 1u);
  EXPECT_EQ(*pool.insert("second"), 3u);
}

TEST(IdPool, LoadRecountsAndIgnoresTheStoredLookup) {
  Image im = Image::of({"a", "b", "c"});
  im.alive[1] = 0;
  im.active_count = 99;
  im.lookup = {{123, {7, 8, 9}}};  // well-formed but wrong: rebuilt at load
  IdPool pool = decode(im.encode());
  EXPECT_EQ(pool.active_count(), 2u);
  EXPECT_EQ(pool.get_slot("b"), std::nullopt);
  EXPECT_EQ(pool.get_slot("c"), 2u);
}

TEST(IdPool, DamagedSlotsAreSkippedNeverRead) {
  Image im = Image::of({"ok", "far", "bad\xff", "cut"});
  im.offsets[1] = 1000;                    // past the arena
  im.lens[3] = 60000;                      // runs past the arena
  IdPool pool = decode(im.encode());
  EXPECT_EQ(pool.iter_active(), (Pairs{{"ok", 0}}));
  EXPECT_EQ(pool.get_slot("far"), std::nullopt);
  EXPECT_EQ(pool.get_slot("bad\xff"), std::nullopt) << "not UTF-8";
  EXPECT_EQ(pool.get_slot("cut"), std::nullopt);
  EXPECT_EQ(pool.active_count(), 4u) << "counted by flag, as rebuild_lookup does";
  EXPECT_EQ(*pool.insert("far"), 4u);
}

TEST(IdPool, SlotsMissingAPerSlotEntryAreDead) {
  Image im = Image::of({"a", "b", "c"});
  im.lens.pop_back();               // slot 2 has no length
  im.alive.push_back(1);            // a flag for a slot that does not exist
  IdPool pool = decode(im.encode());
  EXPECT_EQ(pool.slot_count(), 3u);
  EXPECT_EQ(pool.iter_active(), (Pairs{{"a", 0}, {"b", 1}}));
  EXPECT_EQ(pool.active_count(), 2u);
  EXPECT_EQ(*pool.insert("d"), 3u);
  EXPECT_EQ(decode(pool.serialize()).iter_active(), (Pairs{{"a", 0}, {"b", 1}, {"d", 3}}));
}

TEST(IdPool, RejectsMalformedImages) {
  Image flag = Image::of({"a"});
  flag.alive[0] = 2;
  EXPECT_FALSE(IdPool::read_bincode(flag.encode()).ok());

  // A count of 2^40 with one record behind it is a short file, not an
  // allocation; so is a lookup count that cannot fit.
  std::vector<std::uint8_t> huge;
  ByteWriter w(huge);
  w.u64(1ull << 40);
  w.u8('a');
  EXPECT_FALSE(IdPool::read_bincode(huge).ok());
  Image lookup = Image::of({"a"});
  std::vector<std::uint8_t> bytes = lookup.encode();
  const std::size_t lookup_count_at = bytes.size() - 8 - 4 - 16 - 8;
  for (std::uint64_t bad : {~0ull, 1ull << 60, 2ull}) {
    std::memcpy(bytes.data() + lookup_count_at, &bad, 8);
    EXPECT_FALSE(IdPool::read_bincode(bytes).ok()) << bad;
  }
}

// Every cut of a valid image fails cleanly; random bit flips give an error
// or a pool that every operation handles (the sanitizers watch the reads).
TEST(IdPool, SurvivesTruncationAndBitFlips) {
  IdPool pool;
  for (const char* id : {"alpha", "beta", "", "gamma\u00e9", "delta"}) ASSERT_TRUE(pool.insert(id).ok());
  ASSERT_TRUE(pool.delete_by_id("beta").has_value());
  const std::vector<std::uint8_t> image = pool.serialize();
  for (std::size_t cut = 0; cut < image.size(); ++cut) {
    std::vector<std::uint8_t> prefix(image.begin(), image.begin() + static_cast<long>(cut));
    EXPECT_FALSE(IdPool::read_bincode(prefix).ok()) << "cut at " << cut;
  }
  std::mt19937 rng(11);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<std::uint8_t> damaged = image;
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
      damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    Result<IdPool> loaded = IdPool::read_bincode(damaged);
    if (!loaded.ok()) continue;
    for (const auto& [id, slot] : loaded->iter_active()) static_cast<void>(loaded->get_slot(id));
    for (const char* id : {"alpha", "gamma\u00e9", "zeta"}) {
      static_cast<void>(loaded->delete_by_id(id));
      ASSERT_TRUE(loaded->insert(id).ok());
    }
    EXPECT_TRUE(IdPool::read_bincode(loaded->serialize()).ok());
  }
}

// The slots of iter_active, which active_slots must list without reading ids.
std::vector<std::uint32_t> listed_slots(const IdPool& pool) {
  std::vector<std::uint32_t> out;
  for (const auto& [id, slot] : pool.iter_active()) out.push_back(slot);
  return out;
}

TEST(IdPool, ActiveSlotsListWhatIterActiveLists) {
  IdPool pool;
  for (const char* id : {"a", "b", "c", "d"}) ASSERT_TRUE(pool.insert(id).ok());
  EXPECT_EQ(pool.active_slots(), (std::vector<std::uint32_t>{0, 1, 2, 3})) << "no slot dead";
  ASSERT_TRUE(pool.delete_by_id("b").has_value());
  EXPECT_EQ(pool.active_slots(), (std::vector<std::uint32_t>{0, 2, 3})) << "by alive flag";
  ASSERT_TRUE(pool.insert("bad\xff").ok());  // alive, but never listed
  ASSERT_TRUE(pool.insert("e").ok());
  EXPECT_EQ(pool.active_slots(), (std::vector<std::uint32_t>{0, 2, 3, 5}));
  EXPECT_EQ(pool.active_slots(), listed_slots(pool));
  // A pool reloaded from its image counts its unlisted slots again.
  const IdPool back = decode(pool.serialize());
  EXPECT_EQ(back.active_slots(), (std::vector<std::uint32_t>{0, 2, 3, 5}));
}

TEST(IdPool, ActiveSlotsSkipDamagedSlotsOfAnImage) {
  Image im = Image::of({"ok", "far", "cut", "fine"});
  im.offsets[1] = 1000;  // past the arena
  im.lens[2] = 60000;    // runs past the arena
  const IdPool pool = decode(im.encode());
  EXPECT_EQ(pool.active_slots(), (std::vector<std::uint32_t>{0, 3}));
  EXPECT_EQ(pool.active_slots(), listed_slots(pool));
}

TEST(IdPool, CheckNewIdForeseesTheRefusalsOfInsert) {
  IdPool pool;
  ASSERT_TRUE(pool.insert("abc").ok());
  EXPECT_TRUE(pool.check_new_id("d").ok());
  EXPECT_EQ(pool.check_new_id(std::string(65536, 'x')).error().message(),
            "id is too long (65536 bytes, max 65535)");
  // Once earlier new ids fill the arena past 4 GiB, the next is refused.
  const std::uint64_t room = id_pool_format::kMaxArenaBytesBeforeInsert - 3;
  EXPECT_TRUE(pool.check_new_id("d", 1, room).ok());
  EXPECT_FALSE(pool.check_new_id("d", 1, room + 1).ok());
  EXPECT_FALSE(pool.check_new_id("d", 0xFFFFFFFFull, 0).ok());
  EXPECT_EQ(pool.slot_count(), 1u);
}

}  // namespace
}  // namespace velq
