// Keys for the benchmarks: the lines of a file, and the sorted distinct form
// every dictionary benchmark works on.
#pragma once

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace quorvale::bench {

// The non-empty lines of a file, as bytes.
inline std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> keys;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) keys.push_back(line);
  return keys;
}

inline void sort_distinct(std::vector<std::string>& keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

}  // namespace quorvale::bench
