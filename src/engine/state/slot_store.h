// The slots of one open database: live_codes.bin, live_vectors.bin (when raw
// vectors are kept), the id pool that hands slots out, and the in-memory
// copies the exhaustive scan reads instead of the code file (the blocked copy
// and the per-code reconstruction norms). The copies always cover every slot
// the pool has handed out and hold what the code file holds: every write of a
// code goes through write_slots, which refreshes them, and every change of the
// numbering (open, replay from scratch, compaction) rebuilds them. Readers get
// const views only. No lock of its own: callers hold the database's lock,
// exclusively for anything that changes a slot.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "engine/state/engine_types.h"
#include "engine/state/slot_layout.h"
#include "quantizer/blocked_codes.h"
#include "quantizer/prod_quantizer.h"
#include "quantizer/reconstruction_norms.h"
#include "storage/io/backend.h"
#include "storage/slots/id_pool.h"
#include "storage/slots/live_codes.h"

namespace velq {

// A record's code as stored in its slot, indices unpacked.
struct LiveCode {
  std::vector<std::uint16_t> mse_indices;  // n values
  std::span<const std::uint8_t> qjl_bits;  // Q bytes, in the mapping
  float gamma = 0.0f;
  float norm = 0.0f;
};

// What one slot write stores: the packed code and, when raw vectors are kept
// and `raw` is not empty, the raw vector (d values).
struct SlotWrite {
  std::span<const std::uint8_t> packed_mse;  // M bytes
  std::span<const std::uint8_t> qjl_bits;    // Q bytes (fast mode: ignored)
  float gamma = 0.0f;
  float norm = 0.0f;
  std::span<const float> raw;
  // The code's ‖x̂‖² when known from its making; else the slot is decoded to
  // find it (only when the store keeps reconstruction norms).
  std::optional<double> decoded_square;
};

class SlotStore {
 public:
  // The files as opened, holding no slot yet: adopt_pool or a replay from
  // scratch gives them their slots. `norms_kept`: whether scoring needs the
  // reconstruction norms (L2, and Cosine reranking from codes).
  SlotStore(std::shared_ptr<const ProdQuantizer> quantizer, LiveCodesFile codes,
            std::optional<LiveCodesFile> vectors, RerankPrecision raw_precision, bool norms_kept);

  SlotStore(SlotStore&&) noexcept = default;
  SlotStore& operator=(SlotStore&&) noexcept = default;
  SlotStore(const SlotStore&) = delete;
  SlotStore& operator=(const SlotStore&) = delete;

  const SlotLayout& layout() const { return layout_; }
  const IdPool& ids() const { return pool_; }
  const LiveCodesFile& codes() const { return codes_; }
  const std::optional<LiveCodesFile>& vectors() const { return vectors_; }
  // The first pass's layout of the codes, when the quantizer has one (at most
  // 4 MSE bits).
  const std::optional<BlockedCodes>& blocked() const { return blocked_; }
  const std::optional<ReconstructionNorms>& norms() const { return norms_; }
  RerankPrecision raw_precision() const { return raw_precision_; }

  // The code stored in `slot`, indices unpacked.
  LiveCode code_at(std::uint32_t slot) const;
  // The raw vector of `slot` widened to f32 into `out` (d values).
  // REQUIRES: raw vectors are kept.
  void read_raw(std::uint32_t slot, std::span<float> out) const;

  // Takes the pool read at open: each file must hold every slot it names and
  // is cut to that many.
  Status adopt_pool(IdPool pool);
  // Forgets every slot (the pool starts empty) to hand them out again from 0
  // over the bytes already in the files: a replay of the whole log.
  Status restart();

  // Reserves storage for the next `count` new records' slots, so that a full
  // disk refuses a write before it is logged instead of faulting when its
  // slot is stored. Hands out no slot.
  Status reserve_new(std::uint64_t count);
  // The slot of `id`: its current slot when the id is live, else a new one
  // (the files grow before the pool takes the id, so a failed growth leaves
  // the pool as it was). The caller has checked a new id.
  Result<std::uint32_t> slot_for(std::string_view id);
  // Stores write(i) into slots[i] for every i whose slot no later i names
  // (as if written one after another), side by side on the worker pool for
  // large lists, and refreshes the copies. `write` may run on several
  // threads at once.
  void write_slots(std::span<const std::uint32_t> slots,
                   const std::function<SlotWrite(std::size_t)>& write);
  // Stores a raw vector into `slot` when raw vectors are kept.
  void write_raw(std::uint32_t slot, std::span<const float> values);
  // Forgets `id` and flags its slot deleted; the slot, if it was live.
  std::optional<std::uint32_t> remove(std::string_view id);

  // Cuts the files to the slots handed out, dropping storage reserved
  // beyond them.
  Status trim();
  // Syncs the files to stable storage.
  Status sync();
  // Hands the files to the provider, releasing the mappings meanwhile so it
  // sees whole files; every exit path maps them again.
  Status push(const StorageBackend& backend, const std::string& local_dir);
  // Installs a compacted numbering: the files are released, `swap` replaces
  // them on disk, they are mapped again at pool.slot_count() slots and the
  // copies rebuilt. When `swap` or the mapping fails nothing in memory
  // changes.
  Status adopt_compacted(std::shared_ptr<FileSystem> fs, IdPool pool,
                         const std::function<Status()>& swap);

 private:
  void rebuild_copies();

  std::shared_ptr<const ProdQuantizer> quantizer_;
  SlotLayout layout_;
  LiveCodesFile codes_;
  std::optional<LiveCodesFile> vectors_;
  std::optional<BlockedCodes> blocked_;
  std::optional<ReconstructionNorms> norms_;
  IdPool pool_;
  RerankPrecision raw_precision_;
  bool norms_kept_;
};

}  // namespace velq
