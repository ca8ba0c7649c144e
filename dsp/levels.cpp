// The dispatch table fill: the generic entries, the x86 entries, then the
// vector levels in order, each overriding what the levels before it set.
//
//   order  level            condition                          entries
//   1      SSE2             SSE, SSE2                          rows, complex, FIR, wide
//                                                              cascades, multi-row
//                                                              cascade, FFT, convolver,
//                                                              MXCSR handlers; copy unless
//                                                              prefers(0)
//   2      SSE2, 2nd group  SSE, SSE2                          (none in this table)
//   3      SSE3             SSE3                               copy unless prefers(0)
//   4      SSE4.1           SSE4.1                             (none in this table)
//   5      AVX              AVX, prefers(1)                    rows, FIR, FFT, convolver,
//                                                              all biquads; with FMA3:
//                                                              multiply_add, FIR,
//                                                              interpolator peaks, biquads
//                                                              1, 2, 4, and 8 if prefers(2);
//                                                              the multi-row cascade
//                                                              matching those
//   5'     AVX, older AMD   AVX, not prefers(1)                biquads 2 and 4 (128-bit);
//                                                              rows stay SSE2 (same bits)
//   6      AVX2             AVX, AVX2, prefers(1)              complex conversions, FFT,
//                                                              convolver; with FMA3: FFT,
//                                                              convolver
#include "dsp/levels.h"

#include <cstring>

#include "dsp/variants.h"

#include "dsp/fft_kernels.h"

namespace {

bool has(const CpuInfo& cpu, uint32_t features) { return (cpu.features & features) == features; }

// The transform and convolver entries of level L.
#define DSP_SET_FFT(t, L)                      \
  do {                                         \
    (t)->fft_forward = fft_forward_##L;        \
    (t)->fft_inverse = fft_inverse_##L;        \
    (t)->conv_transform = conv_transform_##L;  \
    (t)->conv_block = conv_block_##L;          \
    (t)->conv_apply = conv_apply_##L;          \
  } while (0)

// The row entries every vector level with row variants replaces together.
#define DSP_SET_ROWS(t, L)                    \
  do {                                        \
    (t)->fill_zero = fill_zero_##L;           \
    (t)->move_floats = move_floats_##L;       \
    (t)->scale = scale_##L;                   \
    (t)->scale_copy = scale_copy_##L;         \
    (t)->add_to = add_to_##L;                 \
    (t)->multiply_by = multiply_by_##L;       \
    (t)->divide_by = divide_by_##L;           \
    (t)->multiply_into = multiply_into_##L;   \
    (t)->multiply_add = multiply_add_##L;     \
    (t)->peak_abs = peak_abs_##L;             \
    (t)->complex_magnitude = complex_magnitude_##L; \
    (t)->fir_accumulate = fir_accumulate_##L; \
    (t)->peak_polyphase = peak_polyphase_##L; \
    (t)->peak_mirrored = peak_mirrored_##L; \
  } while (0)

void fill_generic(DspTable* t) {
  t->dsp_start = dsp_start_generic;
  t->dsp_finish = dsp_finish_generic;
  t->describe_cpu = describe_cpu_generic;
  t->copy_floats = copy_floats_generic;
  DSP_SET_ROWS(t, generic);
  t->real_to_complex = real_to_complex_generic;
  t->complex_real_part = complex_real_part_generic;
  t->biquad_1 = biquad_1_generic;
  t->biquad_2 = biquad_2_generic;
  t->biquad_4 = biquad_4_generic;
  t->biquad_8 = biquad_8_generic;
  t->biquad_rows = biquad_rows_generic;
  DSP_SET_FFT(t, generic);
  t->x86_saved_start = t->sse2_saved_start = nullptr;
  t->x86_saved_finish = t->sse2_saved_finish = nullptr;
  t->mxcsr_mask = 0xFFBF;
}

void fill_x86(DspTable* t) {
  t->x86_saved_start = t->dsp_start;
  t->x86_saved_finish = t->dsp_finish;
  t->dsp_start = dsp_start_x86;
  t->dsp_finish = dsp_finish_x86;
  t->describe_cpu = describe_cpu_x86;
  t->copy_floats = copy_floats_x86;
}

// Level 1 (level 2 holds no entry of this table).
void fill_sse2(DspTable* t, const CpuInfo& cpu) {
  t->sse2_saved_start = t->dsp_start;
  t->sse2_saved_finish = t->dsp_finish;
  t->dsp_start = dsp_start_sse2;
  t->dsp_finish = dsp_finish_sse2;
  t->mxcsr_mask = has(cpu, CPU_FXSAVE) ? fxsave_mxcsr_mask() : 0xFFBF;
  if (!cpu_prefers(cpu, 0)) t->copy_floats = copy_floats_sse2;
  DSP_SET_ROWS(t, sse2);
  t->real_to_complex = real_to_complex_sse2;
  t->complex_real_part = complex_real_part_sse2;
  t->biquad_4 = biquad_4_sse2;
  t->biquad_8 = biquad_8_sse2;
  t->biquad_rows = biquad_rows_sse2;
  DSP_SET_FFT(t, sse2);
}

// Level 3 (level 4, SSE4.1, holds no entry of this table).
void fill_sse3(DspTable* t, const CpuInfo& cpu) {
  if (!cpu_prefers(cpu, 0)) t->copy_floats = copy_floats_sse3;
}

// Level 5. The copy is left alone: on processors where prefers(0) holds it
// stays the string-move copy, elsewhere the SSE3 copy.
void fill_avx(DspTable* t, const CpuInfo& cpu) {
  DSP_SET_ROWS(t, avx);
  t->biquad_1 = biquad_1_avx;
  t->biquad_2 = biquad_2_avx;
  t->biquad_4 = biquad_4_avx;
  t->biquad_8 = biquad_8_avx;
  t->biquad_rows = biquad_rows_avx;
  DSP_SET_FFT(t, avx);
  if (!has(cpu, CPU_FMA3)) return;
  t->multiply_add = multiply_add_fma;
  t->fir_accumulate = fir_accumulate_fma;
  t->peak_polyphase = peak_polyphase_fma;
  t->peak_mirrored = peak_mirrored_fma;
  t->biquad_1 = biquad_1_fma;
  t->biquad_2 = biquad_2_fma;
  t->biquad_4 = biquad_4_fma;
  // The 256-bit fused cascade pays only where full-width FMA units do.
  t->biquad_rows = biquad_rows_fma_avx8;
  if (cpu_prefers(cpu, 2)) {
    t->biquad_8 = biquad_8_fma;
    t->biquad_rows = biquad_rows_fma;
  }
}

// Level 5': AVX on AMD/Hygon before family 23 gets only the cascades whose
// AVX variants stay within 128-bit registers.
void fill_avx_128(DspTable* t) {
  t->biquad_2 = biquad_2_avx;
  t->biquad_4 = biquad_4_avx;
}

// Level 6.
void fill_avx2(DspTable* t, const CpuInfo& cpu) {
  t->real_to_complex = real_to_complex_avx2;
  t->complex_real_part = complex_real_part_avx2;
  DSP_SET_FFT(t, avx2);
  if (!has(cpu, CPU_FMA3)) return;
  DSP_SET_FFT(t, fma);
}

DspTable g_table;

}  // namespace

uint32_t fxsave_mxcsr_mask() {
  alignas(16) unsigned char image[512];
  std::memset(image, 0, sizeof image);
  __asm__ volatile("fxsave %0" : "=m"(image));
  uint32_t mask;
  std::memcpy(&mask, image + 28, sizeof mask);
  return mask ? mask : 0xFFBF;
}

void dsp_fill(DspTable* t, const CpuInfo& cpu) {
  fill_generic(t);
  fill_x86(t);
  if (has(cpu, CPU_SSE | CPU_SSE2)) fill_sse2(t, cpu);
  if (has(cpu, CPU_SSE3)) fill_sse3(t, cpu);
  if (has(cpu, CPU_AVX) && cpu_prefers(cpu, 1)) fill_avx(t, cpu);
  if (has(cpu, CPU_AVX) && !cpu_prefers(cpu, 1)) fill_avx_128(t);
  if (has(cpu, CPU_AVX | CPU_AVX2) && cpu_prefers(cpu, 1)) fill_avx2(t, cpu);
  t->initialised = true;
}

void dsp_init() {
  if (g_table.initialised) return;
  CpuInfo cpu;
  detect_cpu(&cpu);
  dsp_fill(&g_table, cpu);
}

const DspTable& dsp() {
  if (!g_table.initialised) dsp_init();
  return g_table;
}

const char* dsp_level_name(DspLevel level) {
  static const char* const names[DSP_LEVEL_COUNT] = {"generic", "sse2", "sse3", "avx", "avx2", "fma"};
  return level >= 0 && level < DSP_LEVEL_COUNT ? names[level] : "?";
}

bool dsp_level_cpu(const CpuInfo& cpu, DspLevel level, CpuInfo* out) {
  // Features each level keeps, cumulative.
  static const uint32_t keep[DSP_LEVEL_COUNT] = {
      0,
      CPU_FPU | CPU_CMOV | CPU_MMX | CPU_FXSAVE | CPU_SSE | CPU_SSE2,
      CPU_FPU | CPU_CMOV | CPU_MMX | CPU_FXSAVE | CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_SSSE3 | CPU_SSE41 |
          CPU_SSE42 | CPU_SSE4A | CPU_XSAVE,
      0, 0, 0};
  static const uint32_t need[DSP_LEVEL_COUNT] = {
      0, CPU_SSE | CPU_SSE2, CPU_SSE | CPU_SSE2 | CPU_SSE3, CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_AVX,
      CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_AVX | CPU_AVX2,
      CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_AVX | CPU_AVX2 | CPU_FMA3};
  if (level < 0 || level >= DSP_LEVEL_COUNT || !has(cpu, need[level])) return false;
  if (level >= DSP_LEVEL_AVX && !cpu_prefers(cpu, 1)) return false;
  *out = cpu;
  switch (level) {
    case DSP_LEVEL_GENERIC:
      out->vendor = CPU_VENDOR_UNKNOWN;
      out->features = 0;
      break;
    case DSP_LEVEL_SSE2:
    case DSP_LEVEL_SSE3:
      out->features &= keep[level];
      break;
    case DSP_LEVEL_AVX:
      out->features &= ~(CPU_AVX2 | CPU_FMA3 | CPU_FMA4);
      break;
    case DSP_LEVEL_AVX2:
      out->features &= ~(CPU_FMA3 | CPU_FMA4);
      break;
    default:
      break;
  }
  return true;
}
