// The similarity a database scores with, fixed when it is created. Both
// roads of a search and the engine name it from this one definition.
#pragma once

#include <cstdint>
#include <string_view>

namespace velq {

// Every score is a similarity: dot product (kIp), cosine (kCosine) or minus
// the Euclidean distance (kL2).
enum class DistanceMetric : std::uint8_t { kIp = 0, kCosine = 1, kL2 = 2 };

// "ip", "cosine", "l2" (the stored form) and "Ip", "Cosine", "L2" (messages).
inline constexpr std::string_view kMetricNames[] = {"ip", "cosine", "l2"};
inline constexpr std::string_view kMetricDisplayNames[] = {"Ip", "Cosine", "L2"};

inline std::string_view metric_name(DistanceMetric m) { return kMetricNames[static_cast<int>(m)]; }
inline std::string_view metric_display_name(DistanceMetric m) {
  return kMetricDisplayNames[static_cast<int>(m)];
}

}  // namespace velq
