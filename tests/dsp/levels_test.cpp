#include <gtest/gtest.h>

#include <cstring>

#include "dsp/fft_kernels.h"
#include "dsp/levels.h"
#include "dsp/variants.h"
#include "tests/dsp/fake_cpu.h"

namespace {

DspTable fill_for(FakeCpuid& f) {
  DspTable t{};
  dsp_fill(&t, detect(f));
  return t;
}

}  // namespace

TEST(DspLevels, CentaurGetsNoVectorLevel) {
  FakeCpuid f = modern_cpu("CentaurHauls", 6, 0x0F, true, true, true);
  DspTable t = fill_for(f);
  EXPECT_EQ(t.copy_floats, copy_floats_x86);
  EXPECT_EQ(t.dsp_start, dsp_start_x86);
  EXPECT_EQ(t.describe_cpu, describe_cpu_x86);
  EXPECT_EQ(t.multiply_add, multiply_add_generic);
  EXPECT_EQ(t.biquad_8, biquad_8_generic);
  EXPECT_EQ(t.biquad_rows, biquad_rows_generic);
  EXPECT_EQ(t.fft_forward, fft_forward_generic);
  EXPECT_EQ(t.x86_saved_start, dsp_start_generic);
  EXPECT_EQ(t.mxcsr_mask, 0xFFBFu);
  EXPECT_TRUE(t.initialised);
}

TEST(DspLevels, IntelModel5DGetsSse3CopyAnd5EKeepsStringMove) {
  FakeCpuid old_intel = modern_cpu("GenuineIntel", 6, 0x5D, true, true, true);
  DspTable t = fill_for(old_intel);
  EXPECT_EQ(t.copy_floats, copy_floats_sse3);
  EXPECT_EQ(t.dsp_start, dsp_start_sse2);
  EXPECT_EQ(t.sse2_saved_start, dsp_start_x86);
  EXPECT_EQ(t.sse2_saved_finish, dsp_finish_x86);

  FakeCpuid new_intel = modern_cpu("GenuineIntel", 6, 0x5E, true, true, true);
  t = fill_for(new_intel);
  EXPECT_EQ(t.copy_floats, copy_floats_x86);
  // Everything else climbs the levels as usual.
  EXPECT_EQ(t.multiply_add, multiply_add_fma);
  EXPECT_EQ(t.biquad_8, biquad_8_fma);
  EXPECT_EQ(t.real_to_complex, real_to_complex_avx2);
  EXPECT_EQ(t.add_to, add_to_avx);
}

TEST(DspLevels, OlderAmdGetsOnlyTheNarrowAvxCascades) {
  FakeCpuid f = modern_cpu("AuthenticAMD", 21, 0x02, true, true, true);
  DspTable t = fill_for(f);
  EXPECT_EQ(t.biquad_2, biquad_2_avx);
  EXPECT_EQ(t.biquad_4, biquad_4_avx);
  EXPECT_EQ(t.biquad_1, biquad_1_generic);
  EXPECT_EQ(t.biquad_8, biquad_8_sse2);
  EXPECT_EQ(t.biquad_rows, biquad_rows_sse2);
  EXPECT_EQ(t.add_to, add_to_sse2);
  EXPECT_EQ(t.multiply_add, multiply_add_sse2);
  EXPECT_EQ(t.real_to_complex, real_to_complex_sse2);  // no AVX2 level either
  EXPECT_EQ(t.copy_floats, copy_floats_sse3);
  EXPECT_EQ(t.conv_block, conv_block_sse2);
}

TEST(DspLevels, ZenFusedCascadesSplitByModel) {
  FakeCpuid zen1 = modern_cpu("AuthenticAMD", 23, 0x08, true, true, true);
  DspTable t = fill_for(zen1);
  EXPECT_EQ(t.biquad_1, biquad_1_fma);
  EXPECT_EQ(t.biquad_2, biquad_2_fma);
  EXPECT_EQ(t.biquad_4, biquad_4_fma);
  EXPECT_EQ(t.biquad_8, biquad_8_avx);
  EXPECT_EQ(t.biquad_rows, biquad_rows_fma_avx8);
  EXPECT_EQ(t.fir_accumulate, fir_accumulate_fma);
  EXPECT_EQ(t.peak_polyphase, peak_polyphase_fma);
  EXPECT_EQ(t.peak_mirrored, peak_mirrored_fma);
  EXPECT_EQ(t.complex_real_part, complex_real_part_avx2);
  EXPECT_EQ(t.fft_forward, fft_forward_fma);
  EXPECT_EQ(t.conv_apply, conv_apply_fma);

  FakeCpuid zen2 = modern_cpu("HygonGenuine", 24, 0x31, true, true, true);
  t = fill_for(zen2);
  EXPECT_EQ(t.biquad_8, biquad_8_fma);
  EXPECT_EQ(t.biquad_4, biquad_4_fma);
  EXPECT_EQ(t.biquad_rows, biquad_rows_fma);

  // AVX without FMA3: the AVX forms throughout.
  FakeCpuid nofma = modern_cpu("AuthenticAMD", 23, 0x31, true, false, true);
  t = fill_for(nofma);
  EXPECT_EQ(t.biquad_1, biquad_1_avx);
  EXPECT_EQ(t.biquad_8, biquad_8_avx);
  EXPECT_EQ(t.biquad_rows, biquad_rows_avx);
  EXPECT_EQ(t.multiply_add, multiply_add_avx);
  EXPECT_EQ(t.fft_inverse, fft_inverse_avx2);
}

TEST(DspLevels, AvxStateOffKeepsSseLevels) {
  FakeCpuid f = modern_cpu("GenuineIntel", 6, 0x3C, true, true, true);
  f.xcr0 = 0x3;
  DspTable t = fill_for(f);
  EXPECT_EQ(t.add_to, add_to_sse2);
  EXPECT_EQ(t.biquad_2, biquad_2_generic);
  EXPECT_EQ(t.biquad_8, biquad_8_sse2);
  EXPECT_EQ(t.real_to_complex, real_to_complex_sse2);
  EXPECT_EQ(t.copy_floats, copy_floats_sse3);
}

TEST(DspLevels, MxcsrMaskFromFxsaveOnlyWithTheFeature) {
  FakeCpuid f = modern_cpu("GenuineIntel", 6, 0x3C, false, false, false);
  f.leaves[1].ecx &= ~(1u << 26);
  EXPECT_EQ(fill_for(f).mxcsr_mask, 0xFFBFu);
  f.leaves[1].ecx |= 1u << 26;
  EXPECT_EQ(fill_for(f).mxcsr_mask, fxsave_mxcsr_mask());
  EXPECT_NE(fxsave_mxcsr_mask(), 0u);
}

TEST(DspLevels, InitTwiceLeavesTheTable) {
  dsp_init();
  DspTable first;
  std::memcpy(&first, &dsp(), sizeof first);
  dsp_init();
  EXPECT_EQ(std::memcmp(&first, &dsp(), sizeof first), 0);
  EXPECT_TRUE(dsp().initialised);
}

TEST(DspLevels, SimulatedLesserProcessors) {
  CpuInfo real;
  detect_cpu(&real);
  CpuInfo lesser;
  ASSERT_TRUE(dsp_level_cpu(real, DSP_LEVEL_GENERIC, &lesser));
  DspTable t{};
  dsp_fill(&t, lesser);
  EXPECT_EQ(t.add_to, add_to_generic);
  if (dsp_level_cpu(real, DSP_LEVEL_SSE2, &lesser)) {
    dsp_fill(&t, lesser);
    EXPECT_EQ(t.add_to, add_to_sse2);
  }
  if (dsp_level_cpu(real, DSP_LEVEL_AVX, &lesser)) {
    dsp_fill(&t, lesser);
    EXPECT_EQ(t.add_to, add_to_avx);
    EXPECT_EQ(t.multiply_add, multiply_add_avx);
  }
}
