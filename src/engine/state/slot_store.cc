#include "engine/state/slot_store.h"

#include <algorithm>
#include <functional>
#include <string>
#include <unordered_set>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "engine/state/db_files.h"

namespace velq {

namespace {

// Slot lists longer than this are written on the worker pool.
constexpr std::size_t kParallelSlotWritesAbove = 512;

// Grows `file` until it holds slot `slot`. A slot file may already hold it
// when an earlier allocation grew one file and failed on the next: that slot
// belongs to no record yet and is simply taken now.
Status hold_slot(LiveCodesFile& file, std::uint32_t slot) {
  while (file.len() <= slot) {
    VELQ_RETURN_IF_ERROR(file.alloc_slot());
  }
  return ok_status();
}

// A live file must hold every slot the id pool names.
Status check_slot_file(const LiveCodesFile& file, std::uint32_t slots) {
  if (file.capacity() >= slots) return ok_status();
  const std::string name = file.path().substr(file.path().find_last_of('/') + 1);
  return Error::corruption(name + " holds " + std::to_string(file.capacity()) +
                           " slots but live_ids.bin names " + std::to_string(slots));
}

// For each slot, whether it is the last time the list names it: only that
// write of a slot is kept, as if the writes ran one after another.
std::vector<char> last_writes(std::span<const std::uint32_t> slots) {
  std::vector<char> last(slots.size(), 1);
  // New records take ascending slots: then no slot repeats.
  if (std::adjacent_find(slots.begin(), slots.end(), std::greater_equal<>()) == slots.end()) {
    return last;
  }
  std::unordered_set<std::uint32_t> later;
  for (std::size_t i = slots.size(); i-- > 0;) last[i] = later.insert(slots[i]).second ? 1 : 0;
  return last;
}

}  // namespace

SlotStore::SlotStore(std::shared_ptr<const ProdQuantizer> quantizer, LiveCodesFile codes,
                     std::optional<LiveCodesFile> vectors, RerankPrecision raw_precision,
                     bool norms_kept)
    : quantizer_(std::move(quantizer)),
      layout_(SlotLayout::of(*quantizer_)),
      codes_(std::move(codes)),
      vectors_(std::move(vectors)),
      raw_precision_(raw_precision),
      norms_kept_(norms_kept) {
  rebuild_copies();
}

LiveCode SlotStore::code_at(std::uint32_t slot) const {
  const CodeSlotView view = read_code_slot(layout_, codes_.slot(slot));
  LiveCode code;
  code.mse_indices.resize(layout_.n);
  quantizer_->unpack_mse_indices(view.packed_mse, code.mse_indices);
  code.qjl_bits = view.qjl_bits;
  code.gamma = view.gamma;
  code.norm = view.norm;
  return code;
}

void SlotStore::read_raw(std::uint32_t slot, std::span<float> out) const {
  read_raw_vector(raw_precision_, vectors_->slot(slot), out);
}

Status SlotStore::adopt_pool(IdPool pool) {
  const std::uint32_t slots = pool.slot_count();
  VELQ_RETURN_IF_ERROR(check_slot_file(codes_, slots));
  if (vectors_) VELQ_RETURN_IF_ERROR(check_slot_file(*vectors_, slots));
  VELQ_RETURN_IF_ERROR(codes_.set_len(slots));
  if (vectors_) VELQ_RETURN_IF_ERROR(vectors_->set_len(slots));
  pool_ = std::move(pool);
  rebuild_copies();
  return ok_status();
}

Status SlotStore::restart() {
  VELQ_RETURN_IF_ERROR(codes_.set_len(0));
  if (vectors_) VELQ_RETURN_IF_ERROR(vectors_->set_len(0));
  pool_ = IdPool();
  rebuild_copies();
  return ok_status();
}

Status SlotStore::reserve_new(std::uint64_t count) {
  const std::uint64_t need = std::uint64_t{pool_.slot_count()} + count;
  // A file may already hold slots past the pool's count (see hold_slot).
  auto reserve = [need](LiveCodesFile& file) {
    return need > file.len() ? file.reserve(need - file.len()) : ok_status();
  };
  VELQ_RETURN_IF_ERROR(reserve(codes_));
  if (vectors_) VELQ_RETURN_IF_ERROR(reserve(*vectors_));
  return ok_status();
}

Result<std::uint32_t> SlotStore::slot_for(std::string_view id) {
  if (const std::optional<std::uint32_t> live = pool_.get_slot(id)) return *live;
  // The files grow first, so that a failed growth leaves the pool as it was
  // and the three slot counts never drift apart.
  const std::uint32_t next = pool_.slot_count();
  VELQ_RETURN_IF_ERROR(hold_slot(codes_, next));
  if (vectors_) VELQ_RETURN_IF_ERROR(hold_slot(*vectors_, next));
  VELQ_ASSIGN_OR_RETURN(const std::uint32_t slot, pool_.insert(id));
  assert_eq(slot, next, "id pool slot vs live file slot");
  return slot;
}

void SlotStore::write_slots(std::span<const std::uint32_t> slots,
                            const std::function<SlotWrite(std::size_t)>& write) {
  if (slots.empty()) return;
  // The copies cover every slot first, so the writes below never resize them
  // and may run side by side.
  const std::uint32_t covered = *std::max_element(slots.begin(), slots.end()) + 1;
  if (blocked_) blocked_->grow_to(covered);
  if (norms_) norms_->grow_to(covered);
  const std::vector<char> last = last_writes(slots);
  auto store = [&](std::size_t i) {
    if (last[i] == 0) return;
    const SlotWrite w = write(i);
    const std::uint32_t slot = slots[i];
    // Fast-mode codes come with zero sign bytes that the slot does not keep.
    const std::span<const std::uint8_t> signs =
        layout_.qjl_bytes == 0 ? std::span<const std::uint8_t>() : w.qjl_bits;
    write_code_slot(layout_, codes_.slot_mut(slot), w.packed_mse, signs, w.gamma, w.norm);
    if (blocked_) blocked_->update(slot, codes_.slot(slot));
    if (norms_) {
      if (w.decoded_square) {
        norms_->set(slot, *w.decoded_square);
      } else {
        norms_->update(*quantizer_, slot, codes_.slot(slot));
      }
    }
    if (!w.raw.empty()) write_raw(slot, w.raw);
  };
  if (slots.size() > kParallelSlotWritesAbove) {
    parallel_for_each(slots.size(), 64, store);
  } else {
    for (std::size_t i = 0; i < slots.size(); ++i) store(i);
  }
}

void SlotStore::write_raw(std::uint32_t slot, std::span<const float> values) {
  if (vectors_) write_raw_vector(raw_precision_, vectors_->slot_mut(slot), values);
}

std::optional<std::uint32_t> SlotStore::remove(std::string_view id) {
  const std::optional<std::uint32_t> slot = pool_.delete_by_id(id);
  if (slot) mark_slot_deleted(layout_, codes_.slot_mut(*slot));
  return slot;
}

Status SlotStore::trim() {
  const std::uint32_t slots = pool_.slot_count();
  VELQ_RETURN_IF_ERROR(codes_.truncate_to(slots));
  if (vectors_) VELQ_RETURN_IF_ERROR(vectors_->truncate_to(slots));
  return ok_status();
}

Status SlotStore::sync() {
  VELQ_RETURN_IF_ERROR(codes_.flush());
  if (vectors_) VELQ_RETURN_IF_ERROR(vectors_->flush());
  return ok_status();
}

Status SlotStore::push(const StorageBackend& backend, const std::string& local_dir) {
  ReleasedSlotFile codes_released = codes_.release_handles();
  std::optional<ReleasedSlotFile> vectors_released;
  if (vectors_) vectors_released.emplace(vectors_->release_handles());
  auto push_file = [&](std::string_view name) {
    return backend.push_file(std::string(name), db_files::local_path(local_dir, name));
  };
  VELQ_RETURN_IF_ERROR(push_file(db_files::kLiveCodes));
  if (vectors_) {
    VELQ_RETURN_IF_ERROR(push_file(db_files::kLiveVectors));
    VELQ_RETURN_IF_ERROR(vectors_released->reacquire());
  }
  return codes_released.reacquire();
}

namespace {

Result<LiveCodesFile> reopen_slot_file(std::shared_ptr<FileSystem> fs, const LiveCodesFile& old,
                                       std::uint64_t slots) {
  VELQ_ASSIGN_OR_RETURN(LiveCodesFile file,
                        LiveCodesFile::open(std::move(fs), old.path(), old.stride()));
  VELQ_RETURN_IF_ERROR(file.set_len(slots));
  return file;
}

}  // namespace

Status SlotStore::adopt_compacted(std::shared_ptr<FileSystem> fs, IdPool pool,
                                  const std::function<Status()>& swap) {
  {
    // Both releases remap on every exit path, so an early error leaves the
    // files mapped.
    ReleasedSlotFile codes_released = codes_.release_handles();
    std::optional<ReleasedSlotFile> vectors_released;
    if (vectors_) vectors_released.emplace(vectors_->release_handles());
    VELQ_RETURN_IF_ERROR(swap());
    const std::uint64_t slots = pool.slot_count();
    VELQ_ASSIGN_OR_RETURN(LiveCodesFile codes, reopen_slot_file(fs, codes_, slots));
    std::optional<LiveCodesFile> vectors;
    if (vectors_) {
      VELQ_ASSIGN_OR_RETURN(vectors, reopen_slot_file(fs, *vectors_, slots));
    }
    codes_ = std::move(codes);
    if (vectors) *vectors_ = std::move(*vectors);
  }
  pool_ = std::move(pool);
  rebuild_copies();
  return ok_status();
}

void SlotStore::rebuild_copies() {
  blocked_.reset();
  norms_.reset();
  const std::size_t count = pool_.slot_count();
  const std::span<const std::uint8_t> bytes =
      count > 0 ? codes_.mapped_bytes() : std::span<const std::uint8_t>();
  if (BlockedCodes::supports(*quantizer_)) {
    blocked_ = BlockedCodes::build(*quantizer_, bytes, layout_.stride, count);
  }
  if (norms_kept_) norms_ = ReconstructionNorms::build(*quantizer_, bytes, layout_.stride, count);
}

}  // namespace velq
