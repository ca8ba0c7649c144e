#pragma once

#include <string>
#include <vector>

#include "dsp/levels.h"

// Tables for every level the running processor has, lowest first, each
// filled for a processor like this one restricted to that level.
struct LevelTable {
  std::string name;
  DspTable table;
};

inline std::vector<LevelTable> machine_levels() {
  CpuInfo real;
  detect_cpu(&real);
  std::vector<LevelTable> out;
  for (int l = 0; l < DSP_LEVEL_COUNT; ++l) {
    CpuInfo cpu;
    if (!dsp_level_cpu(real, static_cast<DspLevel>(l), &cpu)) continue;
    LevelTable lt{dsp_level_name(static_cast<DspLevel>(l)), {}};
    dsp_fill(&lt.table, cpu);
    out.push_back(lt);
  }
  return out;
}
