// Choosing a node's list from scored candidates, kept in ascending id order
// with their scores: either simply the best `degree`, or the best spread
// over the directions around the node (the diversity rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "storage/graph/graph_data.h"
#include "index/scored_node.h"

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

// True when a kept neighbour k covers candidate c of node p, so that p need
// not link to c: c is reached through k. Scores are similarities (higher is
// closer): s_kc = s(k, c), s_pc = s(p, c), and s_best is p's score of its
// closest candidate. Similarities have no zero distance to measure from, so
// they are read as distances from p's closest candidate, d(x, y) =
// s_best - s(x, y), and the rule takes its usual distance form with strict
// inequality:
//     covered  <=>  alpha * (s_best - s_kc) < s_best - s_pc.
// Hence alpha = 1 is the plain rule (covered when s_kc > s_pc); alpha > 1
// keeps more long links; a pair closer to each other than p is to its
// closest candidate (s_kc > s_best) always covers. The rule is the same for
// dot products, cosines and minus distances: it does not change when every
// score is shifted by a constant or scaled by a positive factor. Equal
// scores cover nothing (duplicates stay linked), nor does a NaN.
bool covers(double s_kc, double s_pc, double s_best, double alpha);

// At most `degree` of `scored` (candidates of one node with their scores
// against it, all distinct): walking them best first (ties to the earlier
// entry), a candidate is kept unless a neighbour kept before it covers it.
// Asks the callback for the scores of each candidate against the neighbours
// kept so far. Ascending by id.
ScoredList pick_diverse(const std::vector<ScoredNode>& scored, std::size_t degree, double alpha,
                        const BuildScorer& scorer);

}  // namespace velq
