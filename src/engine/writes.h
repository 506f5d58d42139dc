// The write roads: one record (upsert, insert, update), metadata only, and
// batches.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/json_value.h"
#include "common/result.h"
#include "engine/state/engine_state.h"
#include "engine/state/engine_types.h"

namespace velq {

// Stores or replaces one record. `vector` holds d values.
Status write_vector_entry(EngineState& state, std::string id, std::span<const double> vector,
                          JsonObject metadata, std::optional<std::string> document);
// "ID '{}' already exists" when the id is live.
Status insert_with_document(EngineState& state, std::string id, std::span<const double> vector,
                            JsonObject metadata, std::optional<std::string> document);
// "ID '{}' does not exist" when the id is not live.
Status update_with_document(EngineState& state, std::string id, std::span<const double> vector,
                            JsonObject metadata, std::optional<std::string> document);
// Replaces the properties (when `metadata` is not empty) and the document
// (when given) of a live record, without touching its code.
Status update_metadata_only(EngineState& state, const std::string& id, JsonObject metadata,
                            std::optional<std::string> document);
// Writes `rows` in chunks of kBatchChunkItems, each checked, prepared and
// logged with one append before the next. The single writes above are rows
// of one through here.
Status write_rows(EngineState& state, WriteRows rows, WriteMode mode);

}  // namespace velq
