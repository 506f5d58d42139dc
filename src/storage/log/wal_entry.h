// The unit of the write-ahead log: one logged write or delete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velq {

// One logged write or delete.
struct WalEntry {
  std::string id;
  // The MSE indices bit-packed as a slot stores them; empty for a deletion.
  std::vector<std::uint8_t> packed_mse;
  std::vector<std::uint8_t> qjl_bits;
  float gamma = 0.0f;
  float norm = 0.0f;
  std::string metadata_json;
  bool is_deleted = false;

  bool operator==(const WalEntry&) const = default;
};

}  // namespace velq
