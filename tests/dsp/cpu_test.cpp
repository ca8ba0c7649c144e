#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dsp/cpu.h"
#include "runtime/alloc.h"
#include "tests/dsp/fake_cpu.h"

TEST(CpuDetect, VendorSignaturesAndUnknown) {
  struct Case {
    const char* sig;
    uint32_t id;
  } cases[] = {{"AMDisbetter!", 1}, {"AuthenticAMD", 1}, {"HygonGenuine", 2}, {"GenuineIntel", 3},
               {"Geode by NSC", 4}, {"GenuineTMx86", 5}, {"TransmetaCPU", 5}, {"CentaurHauls", 6},
               {"VIA VIA VIA ", 6}, {"GenuineIotel", 0}};
  for (const Case& c : cases) {
    FakeCpuid f = modern_cpu(c.sig, 6, 0x3A, true, true, true);
    EXPECT_EQ(detect(f).vendor, c.id) << c.sig;
  }
}

TEST(CpuDetect, FamilyAndModelEncoding) {
  // Family 15 with extended family 8 is Zen's family 23 (0x17).
  FakeCpuid f = modern_cpu("AuthenticAMD", 23, 0x31, true, true, true);
  CpuInfo c = detect(f);
  EXPECT_EQ(c.family, 23u);
  EXPECT_EQ(c.model, 0x31u);
  // The extended model counts for family 6 only among the lower families.
  FakeCpuid g = modern_cpu("GenuineIntel", 6, 0x5E, false, false, false);
  EXPECT_EQ(detect(g).model, 0x5Eu);
  FakeCpuid h = modern_cpu("GenuineIntel", 6, 0x5E, false, false, false);
  h.leaves[1].eax = (5u << 16) | (5u << 8) | (0xEu << 4);  // family 5 with a stray extended model
  c = detect(h);
  EXPECT_EQ(c.family, 5u);
  EXPECT_EQ(c.model, 0xEu);
}

TEST(CpuDetect, MaxBasicLeafZeroStopsAfterVendor) {
  FakeCpuid f = modern_cpu("GenuineIntel", 6, 0x5E, true, true, true);
  f.leaves[0].eax = 0;
  CpuInfo c = detect(f);
  EXPECT_EQ(c.vendor, 3u);
  EXPECT_EQ(c.family, 0u);
  EXPECT_EQ(c.features, 0u);
}

TEST(CpuDetect, OtherVendorsGetNoFeaturesNorBrand) {
  FakeCpuid f = modern_cpu("CentaurHauls", 6, 0x0F, true, true, true);
  f.set_brand("VIA Nano processor                              ");
  CpuInfo c = detect(f);
  EXPECT_EQ(c.features, 0u);
  EXPECT_STREQ(c.brand, "");
  EXPECT_EQ(c.family, 6u);
}

TEST(CpuDetect, FeatureBitsAndAvxState) {
  FakeCpuid f = modern_cpu("GenuineIntel", 6, 0x9E, true, true, true);
  CpuInfo c = detect(f);
  uint32_t base = CPU_FPU | CPU_CMOV | CPU_MMX | CPU_FXSAVE | CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_SSSE3 |
                  CPU_SSE41 | CPU_SSE42 | CPU_XSAVE;
  EXPECT_EQ(c.features, base | CPU_AVX | CPU_FMA3 | CPU_AVX2);

  // XCR0 without bit 2: the operating system keeps the AVX state off.
  f.xcr0 = 0x3;
  EXPECT_EQ(detect(f).features, base);

  // Without OSXSAVE, XCR0 is never read and counts as 0.
  f.xcr0 = 0x7;
  f.xgetbv_calls = 0;
  f.leaves[1].ecx &= ~(1u << 27);
  c = detect(f);
  EXPECT_EQ(f.xgetbv_calls, 0);
  EXPECT_EQ(c.features & (CPU_AVX | CPU_FMA3 | CPU_AVX2 | CPU_XSAVE), 0u);
}

TEST(CpuDetect, AmdExtendedLeafAndAvx512IntelOnly) {
  FakeCpuid f = modern_cpu("AuthenticAMD", 21, 0x02, true, true, false);
  f.leaves[1].edx = 0;  // FPU, CMOV, MMX come from the extended leaf as well
  f.leaves[0x80000001u].ecx = (1u << 6) | (1u << 16);
  f.leaves[0x80000001u].edx = (1u << 0) | (1u << 15) | (1u << 23);
  f.leaves[7].ebx = 0xFFFFFFFFu & ~(1u << 5);
  f.xcr0 = 0xE7;
  CpuInfo c = detect(f);
  EXPECT_EQ(c.features & (CPU_FPU | CPU_CMOV | CPU_MMX | CPU_SSE4A | CPU_FMA4),
            CPU_FPU | CPU_CMOV | CPU_MMX | CPU_SSE4A | CPU_FMA4);
  EXPECT_EQ(c.features & 0x01FF0000u, 0u);  // no AVX-512 bits off Intel

  FakeCpuid g = modern_cpu("GenuineIntel", 6, 0x55, true, true, true);
  g.leaves[7].ebx |= (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
  g.leaves[7].ecx = 1u << 1;
  g.xcr0 = 0xE7;
  c = detect(g);
  EXPECT_EQ(c.features & 0x01FF0000u, CPU_AVX512F | CPU_AVX512DQ | CPU_AVX512BW | CPU_AVX512VL | CPU_AVX512VBMI);
  g.xcr0 = 0x7;  // no upper ZMM state
  EXPECT_EQ(detect(g).features & 0x01FF0000u, 0u);
}

TEST(CpuDetect, BrandTrimmedOrGeneric) {
  FakeCpuid f = modern_cpu("GenuineIntel", 6, 0x5E, false, false, false);
  char raw[48] = {};
  std::memcpy(raw, "      Intel(R) Core(TM) i7 CPU  ", 32);  // then NULs
  raw[32] = ' ';
  f.set_brand(raw);
  EXPECT_STREQ(detect(f).brand, "Intel(R) Core(TM) i7 CPU");
  char full[49] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv";
  f.set_brand(full);
  EXPECT_STREQ(detect(f).brand, full);
  f.leaves[0x80000000u].eax = 0x80000003u;
  EXPECT_STREQ(detect(f).brand, "Generic x86_64 processor");
}

TEST(CpuPrefers, Kinds) {
  auto info = [](uint32_t vendor, uint32_t family, uint32_t model) {
    CpuInfo c{};
    c.vendor = vendor, c.family = family, c.model = model;
    return c;
  };
  EXPECT_FALSE(cpu_prefers(info(3, 6, 93), 0));
  EXPECT_TRUE(cpu_prefers(info(3, 6, 94), 0));
  EXPECT_FALSE(cpu_prefers(info(3, 15, 94), 0));
  EXPECT_TRUE(cpu_prefers(info(3, 6, 1), 1));
  EXPECT_FALSE(cpu_prefers(info(1, 21, 99), 1));
  EXPECT_TRUE(cpu_prefers(info(2, 23, 0), 1));
  EXPECT_FALSE(cpu_prefers(info(1, 23, 48), 2));
  EXPECT_TRUE(cpu_prefers(info(1, 23, 49), 2));
  EXPECT_FALSE(cpu_prefers(info(6, 23, 49), 1));
  EXPECT_FALSE(cpu_prefers(info(3, 6, 200), 3));
}

TEST(CpuDescribe, TextsInOneBlock) {
  CpuInfo c{};
  c.vendor = CPU_VENDOR_HYGON, c.family = 0x18, c.model = 0x1;
  c.features = CPU_FPU | CPU_SSE2 | CPU_SSE41 | CPU_AVX512VBMI;
  std::strcpy(c.brand, "Hygon C86");
  uint64_t live = alloc_live();
  CpuDescription* d = describe_cpu_info(c);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(alloc_live(), live + 1);
  EXPECT_STREQ(d->architecture, "x86_64");
  EXPECT_STREQ(d->brand, "Hygon C86");
  EXPECT_STREQ(d->identity, "vendor=Hygon, family=0x18, model=0x1");
  EXPECT_STREQ(d->features, "FPU SSE2 SSE4.1 AVX512VBMI");
  mem_free(d);

  c.vendor = 77, c.features = 0;
  d = describe_cpu_info(c);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->identity, "vendor=Unknown, family=0x18, model=0x1");
  EXPECT_STREQ(d->features, "");
  mem_free(d);

  d = describe_cpu_generic();
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->brand, "native cpu");
  EXPECT_STREQ(d->identity, "unknown");
  mem_free(d);

  alloc_fail_after(1, false);
  EXPECT_EQ(describe_cpu_info(c), nullptr);
  alloc_fail_off();
  EXPECT_EQ(alloc_live(), live);
}

TEST(CpuDescribe, RunningProcessorThroughTheTable) {
  CpuInfo c;
  detect_cpu(&c);
  CpuDescription* d = dsp().describe_cpu();
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->architecture, "x86_64");
  EXPECT_STREQ(d->brand, c.brand);
  EXPECT_EQ(std::string(d->identity).rfind("vendor=", 0), 0u);
  // Every x86-64 processor has SSE2, which the feature list must show.
  if (c.vendor == CPU_VENDOR_INTEL || c.vendor == CPU_VENDOR_AMD) {
    EXPECT_NE(std::string(d->features).find("SSE2"), std::string::npos);
  }
  mem_free(d);
}
