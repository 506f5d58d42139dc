// Choosing a node's list: the best `degree` candidates by score, kept in
// ascending id order with their scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "storage/graph/graph_data.h"
#include "storage/graph/scored_node.h"

namespace velq {

// A list with each entry's score against its node, both ascending by id.
struct ScoredList {
  NodeList nodes;
  std::vector<double> scores;
};

// The callback's scores of `candidates` against `node`, in candidate order.
// Ids are taken from the candidates, not the callback, so a list can only
// ever hold nodes the builder chose. Panics when the callback returns a
// different number of scores.
std::vector<ScoredNode> score_all(std::uint32_t node, std::span<const std::uint32_t> candidates,
                                  const BuildScorer& scorer);

// The best `degree` of `scored` by score, ties to the earlier entry (what a
// stable sort would keep), ascending by id.
ScoredList pick_best(const std::vector<ScoredNode>& scored, std::size_t degree);

}  // namespace velq
