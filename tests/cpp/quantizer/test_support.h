// Helpers shared by the transform and quantizer tests: seeded random inputs,
// the reference streams of tests/data/random, and panic messages.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/panic.h"

namespace velq::testing {

inline std::vector<float> random_vector(std::size_t len, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> v(len);
  for (float& x : v) x = dist(gen);
  return v;
}

inline std::vector<float> random_signs(std::size_t len, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<float> s(len);
  for (float& x : s) x = (gen() & 1) != 0 ? -1.0f : 1.0f;
  return s;
}

// The data lines of a reference file in tests/data/random (the '#' header
// line dropped).
inline std::vector<std::string> reference_lines(const std::string& name) {
  const char* dir = std::getenv("VELQ_TESTDATA_DIR");
  const std::string path = std::string(dir != nullptr ? dir : VELQ_TESTDATA_DIR) + "/" + name;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "missing reference file " << name;
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

// A reference file of one unsigned decimal per line.
inline std::vector<std::uint64_t> reference_u64s(const std::string& name) {
  std::vector<std::uint64_t> out;
  for (const std::string& line : reference_lines(name)) out.push_back(std::stoull(line));
  return out;
}

// The message of the Panic that f throws, or "no panic".
template <typename F>
std::string panic_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.what();
  }
  return "no panic";
}

}  // namespace velq::testing
