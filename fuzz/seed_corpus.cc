// Writes the seed corpora of the fuzz targets: a few tiny databases are built
// through the engine itself (records with metadata and documents, deletes,
// flushes to segments, a graph, records written after the graph), and every
// file they hold is copied, at several moments of their life, into the corpus
// of the target that decodes its kind. The two older layouts the readers
// still accept (segments without checksums, a version-4 log) are derived from
// the files just written. Seeds are named "<database>-<moment>-<file>", so a
// second run replaces them instead of adding more.
//
// Usage: velq_fuzz_seeds <corpus root>   (writes <root>/fuzz_<target>/...)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_io.h"
#include "common/json_parse.h"
#include "engine/velqor_engine.h"
#include "storage/log/segment_format.h"
#include "storage/log/wal_format.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "velq_fuzz_seeds: %s\n", what.c_str());
  std::exit(1);
}

void check(const velq::Status& s, const char* what) {
  if (!s.ok()) fail(std::string(what) + ": " + s.error().message());
}

Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class CorpusWriter {
 public:
  explicit CorpusWriter(fs::path root) : root_(std::move(root)) {}

  // Writes one seed unless the target already has one with these bytes.
  void put(std::string_view target, const std::string& name, std::span<const std::uint8_t> bytes) {
    if (!seen_.emplace(std::string(target), Bytes(bytes.begin(), bytes.end())).second) return;
    const fs::path dir = root_ / ("fuzz_" + std::string(target));
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + (dir / name).string());
    ++written_;
  }

  int written() const { return written_; }

 private:
  fs::path root_;
  std::set<std::pair<std::string, Bytes>> seen_;
  int written_ = 0;
};

// Record length fields: u64 in the log, u32 in segments.
bool read_length(velq::ByteReader& r, std::uint64_t& v) { return r.u64(v); }
bool read_length(velq::ByteReader& r, std::uint32_t& v) { return r.u32(v); }
void write_length(velq::ByteWriter& w, std::uint64_t v) { w.u64(v); }
void write_length(velq::ByteWriter& w, std::uint32_t v) { w.u32(v); }

// `header` followed by the records of `framed` (length field of type Len,
// payload, u32 CRC) without their CRCs.
template <typename Len>
Bytes without_checksums(Bytes header, velq::ByteReader framed) {
  Len len = 0;
  std::span<const std::uint8_t> payload;
  velq::ByteWriter w(header);
  while (read_length(framed, len) && framed.take(len, payload) && framed.skip(sizeof(std::uint32_t))) {
    write_length(w, len);
    w.bytes(payload);
  }
  return header;
}

// The same log under a version-4 header: every record without its CRC.
Bytes version4_log(std::span<const std::uint8_t> log) {
  using velq::wal_format::kHeaderSize;
  if (log.size() < kHeaderSize) return {};
  Bytes header(log.begin(), log.begin() + kHeaderSize);
  header[4] = 4;
  return without_checksums<std::uint64_t>(std::move(header), velq::ByteReader(log.subspan(kHeaderSize)));
}

// The same segment in the older layout: no magic, no CRCs.
Bytes legacy_segment(std::span<const std::uint8_t> segment) {
  using namespace velq::segment_format;
  if (segment.size() < kHeaderSize) return {};
  return without_checksums<std::uint32_t>(Bytes(segment.begin(), segment.begin() + kCountSize),
                                          velq::ByteReader(segment.subspan(kHeaderSize)));
}

// Copies every file of `dir` into the corpus of the target that reads it.
void harvest(CorpusWriter& corpus, const fs::path& dir, const std::string& prefix) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string file = entry.path().filename().string();
    const std::string name = prefix + "-" + file;
    const Bytes bytes = read_bytes(entry.path());
    if (file == "wal.log") {
      corpus.put("wal_replay", name, bytes);
      corpus.put("wal_replay", name + ".v4", version4_log(bytes));
    } else if (file.starts_with("seg-") && file.ends_with(".bin")) {
      corpus.put("segment", name, bytes);
      corpus.put("segment", name + ".legacy", legacy_segment(bytes));
    } else if (file == "live_ids.bin") {
      // The target reads an image as it is when its first byte is even.
      if (!bytes.empty() && bytes[0] % 2 == 0) corpus.put("id_pool", name, bytes);
    } else if (file == "metadata.bin") {
      corpus.put("metadata", name, bytes);
    } else if (file == "graph.bin") {
      corpus.put("graph", name, bytes);
    } else if (file == "quantizer.bin") {
      // A leading even byte asks the target to decode the rest as it is.
      Bytes framed{0};
      framed.insert(framed.end(), bytes.begin(), bytes.end());
      corpus.put("quantizer_image", name, framed);
    } else if (file.ends_with(".json")) {
      corpus.put("manifest", name, bytes);
      corpus.put("json", name, bytes);
    }
  }
}

velq::JsonObject metadata_of(std::string_view json) {
  velq::Result<velq::JsonValue> value = velq::parse_json(json);
  if (!value.ok()) fail("seed metadata does not parse: " + std::string(json));
  return value->as_object();
}

std::vector<double> vector_of(std::size_t d, unsigned k) {
  std::vector<double> v(d);
  for (std::size_t i = 0; i < d; ++i) v[i] = static_cast<double>((k * 7 + i * 3) % 11) - 5.0 + 0.25 * k;
  return v;
}

constexpr std::string_view kMetadata[] = {
    R"({"group":"a","n":1,"tags":["x","y"]})",
    R"({"group":"b","n":-2,"score":0.5,"nested":{"deep":{"k":true}}})",
    R"({"group":"\u00e9t\u00e9","n":18446744073709551615,"none":null})",
    R"({})",
};

struct Recipe {
  std::string name;
  velq::EngineOptions options;
};

// Builds one database, harvesting its files after each stage.
void write_database(CorpusWriter& corpus, const fs::path& dir, Recipe recipe) {
  recipe.options.storage_uri = dir.string();
  recipe.options.local_dir = dir.string();
  recipe.options.wal_flush_threshold = 1000;  // only explicit flushes
  velq::Result<velq::VelqorEngine> opened = velq::VelqorEngine::open_with_options(recipe.options);
  if (!opened.ok()) fail("open: " + opened.error().message());
  velq::VelqorEngine& engine = *opened;
  const std::size_t d = recipe.options.d;
  // Ids of four bytes keep live_ids.bin's first byte (its id bytes' total
  // length) even.
  auto id = [](unsigned k) { return "r" + std::to_string(100 + k); };

  for (unsigned k = 0; k < 24; ++k) {
    const std::optional<std::string> doc = k % 3 == 0 ? std::optional<std::string>("doc " + id(k)) : std::nullopt;
    check(engine.insert_with_document(id(k), vector_of(d, k), metadata_of(kMetadata[k % 4]), doc), "insert");
  }
  for (unsigned k : {3u, 8u}) (void)engine.delete_id(id(k));
  harvest(corpus, dir, recipe.name + "-logged");

  // A delete or a flush forgets the index: the graph's lists are taken
  // before either.
  const velq::IndexParams params{8, 32, 16, 2, 1.2};
  check(engine.create_index_with_params(params), "create_index");
  harvest(corpus, dir, recipe.name + "-indexed");

  for (unsigned k = 24; k < 30; ++k) {
    check(engine.write_vector_entry(id(k), vector_of(d, k), metadata_of(kMetadata[k % 4]), std::nullopt),
          "upsert");
  }
  check(engine.update_metadata_only(id(1), metadata_of(kMetadata[2]), "changed"), "update_metadata");
  check(engine.create_index_incremental(params), "update_index");
  harvest(corpus, dir, recipe.name + "-extended");

  (void)engine.delete_id(id(5));
  check(engine.write_vector_entry(id(30), vector_of(d, 30), {}, "late"), "upsert");
  harvest(corpus, dir, recipe.name + "-deleted");

  check(engine.close(), "close");
  harvest(corpus, dir, recipe.name + "-closed");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) fail("usage: velq_fuzz_seeds <corpus root>");
  CorpusWriter corpus{fs::path(argv[1])};
  const fs::path work = fs::path(argv[1]) / ".seed-databases";
  fs::remove_all(work);

  // The log target decodes records of 20 coordinates at 3 index bits:
  // a dense 4-bit database of dimension 20 writes exactly those.
  velq::EngineOptions dense;
  dense.d = 20;
  dense.b = 4;
  velq::EngineOptions srht;
  srht.d = 12;
  srht.b = 3;
  srht.fast_mode = true;
  srht.metric = velq::DistanceMetric::kCosine;
  srht.rerank_precision = velq::RerankPrecision::kF16;
  srht.quantizer_type = "srht";
  for (const Recipe& recipe : {Recipe{"dense", dense}, Recipe{"srht", srht}}) {
    const fs::path dir = work / recipe.name;
    fs::create_directories(dir);
    write_database(corpus, dir, recipe);
  }
  fs::remove_all(work);
  std::printf("velq_fuzz_seeds: %d seed files\n", corpus.written());
  return 0;
}
