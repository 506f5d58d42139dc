// Building the graph index over the active records (from scratch, or by
// extending the current graph with the records written since the last
// build). The graph receives scoring callbacks that compare two records from
// what the engine stores: codes, dequantized codes or raw vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/result.h"
#include "engine/engine_state.h"
#include "engine/node_codes.h"
#include "search/reconstruction_norms.h"
#include "index/scored_node.h"

namespace velq {

// Flushes buffered writes, builds the graph over every active record (node i
// = the i-th active slot, ascending), then records the node-to-slot list,
// empties the delta list, stores the parameters and persists the bookkeeping
// files. No active record: nothing changes. A failed build changes nothing.
Status create_index_with_params(EngineState& state, const IndexParams& params);

// Adds the records written since the last build to the loaded graph; a full
// build when no graph is loaded. Nothing at all when the delta list is empty.
// Keeps the stored index parameters except the search list size and the
// node count; leaves them absent when the flush dropped the index.
Status create_index_incremental(EngineState& state, const IndexParams& params);

// How a full L2 build without raw vectors scores node c against node a
// (node i = slots[i]): minus the distance between their decoded vectors
// times their stored norms, from the codes and the norms' ‖x̂‖², with no
// decoded vector kept. Every node's prepared form (its decoded vector
// rotated and projected, 2n floats) is made here in blocks when all of them
// fit the preparation budget, else as each node is asked about. All
// arguments must outlive the scorer.
BuildScorer l2_code_scorer(const EngineState& state, const NodeCodes& codes,
                           const ReconstructionNorms& norms, std::span<const std::uint32_t> slots);

}  // namespace velq
