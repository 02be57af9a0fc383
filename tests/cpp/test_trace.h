// Launch traces of the host execution layer, as text.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/hostcuda/hostcuda.h"

// One line per launch of a trace: kernel, grid, block, dynamic shared bytes
// and stream ("s0", "s1", ... in order of first use; "default" for the legacy
// default stream), so that a launch sequence compares against a table.
inline std::vector<std::string> describe(const std::vector<hostcuda::LaunchRecord>& trace) {
  std::vector<cudaStream_t> streams;
  std::vector<std::string> lines;
  for (const auto& r : trace) {
    std::ostringstream line;
    line << r.kernel << " " << r.grid.x << "x" << r.grid.y << "x" << r.grid.z << " " << r.block.x
         << "x" << r.block.y << "x" << r.block.z << " " << r.shared_bytes;
    if (r.stream == nullptr) {
      line << " default";
    } else {
      auto it = std::find(streams.begin(), streams.end(), r.stream);
      if (it == streams.end()) it = streams.insert(streams.end(), r.stream);
      line << " s" << (it - streams.begin());
    }
    if (r.refused) line << " refused";
    lines.push_back(line.str());
  }
  return lines;
}
