#pragma once

#include <cstdint>

#include "dsp/dsp.h"

// Processor detection for the dispatch table fill.
//
// detect_cpu reads the identification instructions (CPUID, XGETBV) through a
// CpuidSource so that tests can present any vendor, model, feature set and
// enabled register state; the table fill uses the running processor.

enum CpuVendor : uint32_t {
  CPU_VENDOR_UNKNOWN = 0,
  CPU_VENDOR_AMD = 1,
  CPU_VENDOR_HYGON = 2,
  CPU_VENDOR_INTEL = 3,
  CPU_VENDOR_NSC = 4,
  CPU_VENDOR_TRANSMETA = 5,
  CPU_VENDOR_VIA = 6,
};

// Feature bits of CpuInfo::features. Bits 16 to 24 only feed the
// description; no dispatch level looks at them.
enum CpuFeature : uint32_t {
  CPU_FPU = 1u << 0,
  CPU_CMOV = 1u << 1,
  CPU_MMX = 1u << 2,
  CPU_FXSAVE = 1u << 3,  // taken from the XSAVE bit of leaf 1 (ECX 26)
  CPU_SSE = 1u << 4,
  CPU_SSE2 = 1u << 5,
  CPU_SSE3 = 1u << 6,
  CPU_SSSE3 = 1u << 7,
  CPU_SSE41 = 1u << 8,
  CPU_SSE42 = 1u << 9,
  CPU_SSE4A = 1u << 10,
  CPU_XSAVE = 1u << 11,  // OSXSAVE: the operating system uses XSAVE
  CPU_FMA3 = 1u << 12,
  CPU_FMA4 = 1u << 13,
  CPU_AVX = 1u << 14,
  CPU_AVX2 = 1u << 15,
  CPU_AVX512F = 1u << 16,
  CPU_AVX512DQ = 1u << 17,
  CPU_AVX512IFMA = 1u << 18,
  CPU_AVX512PF = 1u << 19,
  CPU_AVX512ER = 1u << 20,
  CPU_AVX512CD = 1u << 21,
  CPU_AVX512BW = 1u << 22,
  CPU_AVX512VL = 1u << 23,
  CPU_AVX512VBMI = 1u << 24,
};
constexpr unsigned CPU_FEATURE_COUNT = 25;

struct CpuInfo {
  uint32_t vendor;    // CpuVendor
  uint32_t family;    // display family
  uint32_t model;     // display model
  uint32_t features;  // CpuFeature bits
  char brand[49];     // NUL-terminated; empty unless filled
};

struct CpuidRegs {
  uint32_t eax, ebx, ecx, edx;
};

// Answers of CPUID (leaf, subleaf) and XGETBV (register index).
class CpuidSource {
 public:
  virtual ~CpuidSource() = default;
  virtual CpuidRegs cpuid(uint32_t leaf, uint32_t subleaf) = 0;
  virtual uint64_t xgetbv(uint32_t index) = 0;
};

// The running processor's answers; a static object.
CpuidSource& native_cpuid_source();

// Fills `info` from `source`. Cannot fail: missing leaves and unknown
// vendors only leave bits clear.
void detect_cpu(CpuInfo* info, CpuidSource& source);
// The same for the running processor.
void detect_cpu(CpuInfo* info);

// Vendor and model policy for the table fill:
//   kind 0: Intel family 6 from model 94 (keeps the string-move copy);
//   kind 1: Intel, or AMD/Hygon from family 23 (256-bit variants pay);
//   kind 2: Intel, or AMD/Hygon from family 23 model 49 (256-bit fused
//           biquads pay); any other kind: false.
bool cpu_prefers(const CpuInfo& cpu, int kind);

// "AMD", "Intel", ...; "Unknown" for ids outside the vendor table.
const char* cpu_vendor_name(uint32_t vendor);
// "FPU", "SSE2", ...; null for bits outside the feature table.
const char* cpu_feature_name(unsigned bit);

// Description of `cpu` in one mem_alloc block (release with one mem_free);
// null when formatting or allocation fails.
CpuDescription* describe_cpu_info(const CpuInfo& cpu);

// The table's describers: the fixed text of the generic entry, and the
// running processor's description of the x86 entry.
CpuDescription* describe_cpu_generic();
CpuDescription* describe_cpu_x86();
