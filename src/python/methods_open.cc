// Database.open: resolve and create the directory, fill in an existing
// database's parameters when no dimension is given, check the options, and
// open the engine, or share the one this process already has open there.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "python/database.h"
#include "python/open_registry.h"

namespace velq::py {
namespace {

enum OpenParam : std::size_t {
  kPath, kDimension, kBits, kSeed, kMetric, kRerank, kFastMode, kRerankPrecision,
  kCollection, kWalFlushThreshold, kNormalize, kQuantizerType,
};

constexpr Signature kOpenSig{
    "Database.open",
    {"path", "dimension", "bits", "seed", "metric", "rerank", "fast_mode", "rerank_precision",
     "collection", "wal_flush_threshold", "normalize", "quantizer_type"},
    1};

constexpr const char* kOpenDoc =
    "open(path, dimension=None, bits=4, seed=42, metric=\"ip\", rerank=True, fast_mode=False, "
    "rerank_precision=None, collection=None, wal_flush_threshold=None, normalize=False, "
    "quantizer_type=None)\n--\n\n"
    "Open the database in *path*, creating it when it does not exist yet.\n\n"
    "Args:\n"
    "    path: Directory of the database (created with its parents when missing).\n"
    "    dimension: Length of every vector. Required for a new database; when\n"
    "        omitted, dimension, bits, seed and metric are read from the existing\n"
    "        database. Must match the stored value on reopen.\n"
    "    bits: Quantization bits per coordinate (at least 2). 4 (default) stores\n"
    "        vectors eight times smaller with good recall; 8 stores them four times\n"
    "        smaller with better recall.\n"
    "    seed: Seed of the random rotation. Must match the stored value on reopen.\n"
    "    metric: \"ip\" (inner product, default), \"cosine\" or \"l2\" (Euclidean).\n"
    "        Fixed when the database is created.\n"
    "    rerank: Rescore the best candidates at full precision.\n"
    "    fast_mode: Give every bit to the scalar codebook and store no residual sketch.\n"
    "    rerank_precision: None (default) reranks from the decoded codes and costs no\n"
    "        extra disk or memory; \"f16\" also stores raw vectors as float16\n"
    "        (n*d*2 extra bytes) for exact reranking; \"f32\" stores them as float32\n"
    "        (n*d*4 extra bytes).\n"
    "    collection: Optional name of a subdirectory of *path* to use instead.\n"
    "    wal_flush_threshold: Buffered writes before they are flushed to a segment\n"
    "        (default 5000). Higher is faster for bulk loads but leaves more in the\n"
    "        log before a flush. close() always trims the files to the exact slot\n"
    "        count.\n"
    "    normalize: Scale vectors and queries to unit length, so that inner-product\n"
    "        scores equal cosine similarity.\n"
    "    quantizer_type: None or \"dense\" (default): a dense random rotation with\n"
    "        n = d (\"exact\" is accepted as another name for it); \"srht\": a\n"
    "        structured Walsh-Hadamard rotation with n = next_power_of_two(d).\n\n"
    "Returns:\n"
    "    An open :class:`Database` instance.\n\n"
    "Examples:\n"
    "    >>> db = Database.open(\"mydb\", dimension=1536, bits=4, metric=\"cosine\")\n"
    "    >>> db = Database.open(\"mydb\")\n"
    "    >>> db = Database.open(\"mydb\", dimension=1536, metric=\"ip\", normalize=True)\n";

// The database directory: the local directory `path` names (a "file://"
// URI its path; the refused storage schemes fail here), with `collection`
// below it. Creates nothing.
std::string database_dir(const std::string& path, const std::optional<std::string>& collection) {
  if (collection && !collection->empty()) {
    const std::string& c = *collection;
    if (c == "." || c == ".." || c.find_first_of("/\\") != std::string::npos) {
      throw_value_error("invalid collection name " + debug_quoted(c) +
                        ": must be a single path component with no separators");
    }
  }
  return unwrap(VelqorEngine::local_directory(path, collection.value_or(std::string())));
}

[[noreturn]] void throw_os_error(int errnum, const std::string& path) {
  const std::error_code error(errnum, std::generic_category());
  const PyRef args =
      PyRef::steal(Py_BuildValue("(iss)", errnum, error.message().c_str(), path.c_str()));
  PyErr_SetObject(PyExc_OSError, args.get());
  throw PyErrorSet{};
}

void create_dir(const std::string& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) throw_os_error(error.value(), dir);
}

// The key of the directory among the databases open in this process: two
// spellings of one directory (relative, through a link) meet there.
std::string real_path(const std::string& dir) {
  char* resolved = ::realpath(dir.c_str(), nullptr);
  if (resolved == nullptr) throw_os_error(errno, dir);
  std::string path(resolved);
  std::free(resolved);
  return path;
}

// An open without a dimension needs an existing database; checked before
// anything is created.
void require_database(const std::string& dir) {
  if (!VelqorEngine::holds_database(dir)) {
    throw_value_error("dimension is required when opening a new database");
  }
}

DistanceMetric parse_metric(const std::string& text) {
  const std::string lower = unicode_lower(text);
  for (const DistanceMetric m : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    if (lower == metric_name(m)) return m;
  }
  throw_value_error("Invalid metric: " + text);
}

RerankPrecision parse_rerank_precision(const std::optional<std::string>& text) {
  if (!text) return RerankPrecision::kDisabled;
  const std::string lower = unicode_lower(*text);
  if (lower == "none" || lower == "dequant" || lower == "disabled") return RerankPrecision::kDisabled;
  if (lower == "f32" || lower == "full" || lower == "float") return RerankPrecision::kF32;
  if (lower == "f16" || lower == "half") return RerankPrecision::kF16;
  throw_value_error("Invalid rerank_precision: '" + lower +
                    "'. Use 'f16', 'f32', or None (dequant reranking).");
}

void check_sizes(const EngineOptions& options) {
  if (options.b < 2) throw_value_error("bits must be >= 2, got " + std::to_string(options.b));
  if (options.d == 0) throw_value_error("dimension must be > 0");
}

// An open without a dimension takes dimension, bits, seed and metric from
// the database; the call's are ignored. Runs with the interpreter lock given
// up.
void take_stored_parameters(EngineOptions& options, const StoredParameters& stored) {
  options.d = stored.d;
  options.b = stored.b;
  options.seed = stored.seed;
  options.metric = stored.metric;
  check_sizes(options);
}

[[noreturn]] void refuse_sharing(const std::string& dir, const std::string& open_with,
                                 const std::string& asked) {
  throw PyFail{PyExc_RuntimeError,
               "database directory '" + dir + "' is already open in this process with " +
                   open_with + "; a second handle shares that engine and cannot open it with " +
                   asked};
}

// A second handle shares the engine, so it may not change how the engine
// behaves for the first: only options that reopening would also ignore may
// differ. Left at their defaults, normalize and wal_flush_threshold ask for
// nothing.
void check_shareable(const VelqorEngine& live, const EngineOptions& o, const std::string& dir) {
  unwrap(live.check_matches(o));
  if (o.normalize && !live.normalizes()) refuse_sharing(dir, "normalize=False", "normalize=True");
  const std::size_t threshold = live.wal_flush_threshold();
  if (o.wal_flush_threshold && *o.wal_flush_threshold != threshold) {
    refuse_sharing(dir, "wal_flush_threshold=" + std::to_string(threshold),
                   "wal_flush_threshold=" + std::to_string(*o.wal_flush_threshold));
  }
}

OpenRegistry<VelqorEngine>& open_engines() {
  static OpenRegistry<VelqorEngine> registry;
  return registry;
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const BoundArgs a(kOpenSig, args, nargs, kwnames);
    EngineOptions options;
    const std::string path = a.str(kPath);
    const std::optional<std::uint64_t> dimension = a.opt_u64(kDimension);
    options.b = a.u64(kBits, 4);
    options.seed = a.u64(kSeed, 42);
    const std::string metric = a.raw(kMetric) == nullptr ? "ip" : a.str(kMetric);
    options.rerank = a.boolean(kRerank, true);
    options.fast_mode = a.boolean(kFastMode, false);
    const auto rerank_precision = a.opt_str(kRerankPrecision);
    const auto collection = a.opt_str(kCollection);
    options.wal_flush_threshold = a.opt_u64(kWalFlushThreshold);
    options.normalize = a.boolean(kNormalize, false);
    options.quantizer_type = a.opt_str(kQuantizerType);

    const std::string dir = database_dir(path, collection);
    if (!dimension) require_database(dir);
    create_dir(dir);
    if (dimension) {
      options.metric = parse_metric(metric);
      options.d = *dimension;
    }
    options.rerank_precision = parse_rerank_precision(rerank_precision);
    if (dimension) check_sizes(options);
    options.storage_uri = dir;
    options.local_dir = dir;
    const std::string key = real_path(dir);

    std::shared_ptr<EngineHandle> handle;
    {
      const GilRelease released;  // replaying a long log takes a while
      handle = open_engines().acquire(
          key,
          [&](const VelqorEngine& live) {
            if (!dimension) take_stored_parameters(options, live.stored_parameters());
            check_shareable(live, options, dir);
          },
          // An engine that refuses writes until the database is reopened.
          [](const VelqorEngine& live) { return live.refuses_writes(); },
          [&] {
            // Another process's database is not read, not even its manifest.
            if (!dimension) {
              take_stored_parameters(options, unwrap(VelqorEngine::read_stored_parameters(options)));
            }
            return unwrap(VelqorEngine::open_with_options(options));
          });
    }
    return new_database(std::move(handle));
  });
}

const PyMethodDef kOpenMethods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&open)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kOpenDoc},
};

}  // namespace

std::span<const PyMethodDef> open_methods() { return kOpenMethods; }

}  // namespace velq::py
