#pragma once

#include <cstring>
#include <map>
#include <string>

#include "dsp/cpu.h"

// A processor made up by a test: CPUID answers per leaf and an XCR0 value.
struct FakeCpuid final : CpuidSource {
  std::map<uint32_t, CpuidRegs> leaves;
  uint64_t xcr0 = 0;
  int xgetbv_calls = 0;

  CpuidRegs cpuid(uint32_t leaf, uint32_t) override {
    auto it = leaves.find(leaf);
    return it == leaves.end() ? CpuidRegs{} : it->second;
  }
  uint64_t xgetbv(uint32_t) override {
    ++xgetbv_calls;
    return xcr0;
  }

  void set_vendor(const char* sig12, uint32_t max_basic) {
    CpuidRegs r{max_basic, 0, 0, 0};
    std::memcpy(&r.ebx, sig12, 4);
    std::memcpy(&r.edx, sig12 + 4, 4);
    std::memcpy(&r.ecx, sig12 + 8, 4);
    leaves[0] = r;
  }
  void set_brand(const char* text48) {
    leaves[0x80000000u].eax = 0x80000004u;
    for (uint32_t i = 0; i < 3; ++i) std::memcpy(&leaves[0x80000002u + i], text48 + 16 * i, 16);
  }
};

// Leaf 1 EAX for a family/model pair in the display encoding.
inline uint32_t leaf1_eax(uint32_t family, uint32_t model) {
  uint32_t base_family = family >= 15 ? 15 : family;
  uint32_t ext_family = family >= 15 ? family - 15 : 0;
  return (ext_family << 20) | ((model >> 4) << 16) | (base_family << 8) | ((model & 0xF) << 4);
}

// A modern x86-64 processor: SSE to SSE4.2, OSXSAVE, XSAVE, optionally AVX,
// FMA3 and AVX2, with AVX register state enabled.
inline FakeCpuid modern_cpu(const char* vendor, uint32_t family, uint32_t model, bool avx, bool fma,
                            bool avx2) {
  FakeCpuid f;
  f.set_vendor(vendor, 7);
  CpuidRegs& l1 = f.leaves[1];
  l1.eax = leaf1_eax(family, model);
  l1.edx = (1u << 0) | (1u << 15) | (1u << 23) | (1u << 25) | (1u << 26);
  l1.ecx = (1u << 0) | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 26) | (1u << 27);
  if (avx) l1.ecx |= 1u << 28;
  if (fma) l1.ecx |= 1u << 12;
  if (avx2) f.leaves[7].ebx |= 1u << 5;
  f.leaves[0x80000000u].eax = 0x80000001u;
  f.xcr0 = 0x7;
  return f;
}

inline CpuInfo detect(FakeCpuid& f) {
  CpuInfo info;
  detect_cpu(&info, f);
  return info;
}
