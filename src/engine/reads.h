// Reads that decode no vector: records by id, counts, id listings and value
// tallies. Pure reads; shared access suffices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"

namespace velq {

Result<std::optional<GetResult>> get_record(const EngineState& state, const std::string& id);
Result<std::vector<std::optional<GetResult>>> get_many(const EngineState& state,
                                                       const std::vector<std::string>& ids);
Result<std::uint64_t> count_with_filter(const EngineState& state, const JsonObject* filter);
Result<std::vector<std::string>> list_with_filter_page(const EngineState& state,
                                                       const JsonObject* filter,
                                                       std::optional<std::uint64_t> limit,
                                                       std::uint64_t offset);
Result<std::unordered_map<std::string, std::uint64_t>> list_metadata_values(
    const EngineState& state, const std::string& field);

}  // namespace velq
