// Pieces shared by the benchmark drivers that read vectors from files a
// peer-comparison script wrote: flat little-endian rows, comma lists, timing
// and the median of repeated rates.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace velq::bench {

// The whole file as values of T (host order; the files are little-endian).
template <typename T>
std::vector<T> read_rows(const std::string& path, const char* program) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", program, path.c_str());
    std::exit(2);
  }
  std::vector<T> out(static_cast<std::size_t>(in.tellg()) / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(T)));
  return out;
}

// "32,64,128" -> {32, 64, 128}.
inline std::vector<std::size_t> size_list(const std::string& list) {
  std::vector<std::size_t> out;
  for (std::size_t pos = 0; pos < list.size();) {
    const std::size_t comma = std::min(list.find(',', pos), list.size());
    out.push_back(std::stoul(list.substr(pos, comma - pos)));
    pos = comma + 1;
  }
  return out;
}

template <typename F>
double timed(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Median over `reps` runs of count / seconds of run().
template <typename F>
double median_rate(int reps, std::size_t count, F&& run) {
  std::vector<double> rates;
  for (int rep = 0; rep < std::max(reps, 1); ++rep) rates.push_back(double(count) / timed(run));
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace velq::bench
