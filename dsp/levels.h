#pragma once

#include <cstdint>

#include "dsp/cpu.h"
#include "dsp/dsp.h"

// Fills `table` for a processor described by `cpu`: the generic entries,
// the x86 entries, then every vector level whose condition `cpu` meets. The
// process-wide table is filled this way by dsp_init; tests fill their own
// tables for simulated processors. The floating-point handlers always chain
// through the process-wide table's saved handlers.
void dsp_fill(DspTable* table, const CpuInfo& cpu);

// The MXCSR mask of the running processor from an FXSAVE image, 0xFFBF when
// the image reports 0.
uint32_t fxsave_mxcsr_mask();

// Instruction-set levels a table can be filled for, lowest first.
enum DspLevel : int {
  DSP_LEVEL_GENERIC,  // no vector level (an unknown vendor)
  DSP_LEVEL_SSE2,
  DSP_LEVEL_SSE3,
  DSP_LEVEL_AVX,
  DSP_LEVEL_AVX2,
  DSP_LEVEL_FMA,  // AVX2 with FMA3
  DSP_LEVEL_COUNT
};

const char* dsp_level_name(DspLevel level);

// Derives from `cpu` a processor restricted to `level` (a lesser processor
// of the same vendor and model), so that every level the machine has can be
// filled and run. False when `cpu` lacks the features of `level` or its
// vendor policy keeps the level off.
bool dsp_level_cpu(const CpuInfo& cpu, DspLevel level, CpuInfo* out);
