#include "dsp/cpu.h"

#include <cpuid.h>

#include <cstdio>
#include <cstring>

#include "runtime/alloc.h"

namespace {

class NativeCpuidSource final : public CpuidSource {
 public:
  CpuidRegs cpuid(uint32_t leaf, uint32_t subleaf) override {
    CpuidRegs r{};
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
  }
  // Only asked for when CPUID reports OSXSAVE, so the instruction exists.
  uint64_t xgetbv(uint32_t index) override {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(index));
    return (static_cast<uint64_t>(hi) << 32) | lo;
  }
};

struct VendorSignature {
  char text[13];
  uint32_t id;
};

const VendorSignature kVendors[] = {
    {"AMDisbetter!", CPU_VENDOR_AMD},       {"AuthenticAMD", CPU_VENDOR_AMD},
    {"HygonGenuine", CPU_VENDOR_HYGON},     {"GenuineIntel", CPU_VENDOR_INTEL},
    {"Geode by NSC", CPU_VENDOR_NSC},       {"GenuineTMx86", CPU_VENDOR_TRANSMETA},
    {"TransmetaCPU", CPU_VENDOR_TRANSMETA}, {"CentaurHauls", CPU_VENDOR_VIA},
    {"VIA VIA VIA ", CPU_VENDOR_VIA},
};

const char* const kVendorNames[] = {"Unknown", "AMD", "Hygon", "Intel", "NSC", "Transmeta", "VIA"};

const char* const kFeatureNames[CPU_FEATURE_COUNT] = {
    "FPU",      "CMOV",     "MMX",        "FXSAVE",   "SSE",      "SSE2",     "SSE3",
    "SSSE3",    "SSE4.1",   "SSE4.2",     "SSE4A",    "XSAVE",    "FMA3",     "FMA4",
    "AVX",      "AVX2",     "AVX512F",    "AVX512DQ", "AVX512IFMA", "AVX512PF", "AVX512ER",
    "AVX512CD", "AVX512BW", "AVX512VL",   "AVX512VBMI",
};

// (register bit, feature) pairs of one CPUID register.
struct BitMap {
  unsigned bit;
  uint32_t feature;
};

uint32_t map_bits(uint32_t reg, const BitMap* map, size_t count) {
  uint32_t out = 0;
  for (size_t i = 0; i < count; ++i)
    if (reg & (1u << map[i].bit)) out |= map[i].feature;
  return out;
}

template <size_t N>
uint32_t map_bits(uint32_t reg, const BitMap (&map)[N]) {
  return map_bits(reg, map, N);
}

const BitMap kLeaf1Edx[] = {{0, CPU_FPU}, {15, CPU_CMOV}, {23, CPU_MMX}, {25, CPU_SSE}, {26, CPU_SSE2}};
const BitMap kLeaf1Ecx[] = {{26, CPU_FXSAVE}, {0, CPU_SSE3},   {9, CPU_SSSE3},
                            {19, CPU_SSE41},  {20, CPU_SSE42}, {27, CPU_XSAVE}};
const BitMap kExtEdx[] = {{0, CPU_FPU}, {15, CPU_CMOV}, {23, CPU_MMX}};
const BitMap kAvx512Ebx[] = {{16, CPU_AVX512F},  {17, CPU_AVX512DQ}, {21, CPU_AVX512IFMA},
                             {26, CPU_AVX512PF}, {27, CPU_AVX512ER}, {28, CPU_AVX512CD},
                             {30, CPU_AVX512BW}, {31, CPU_AVX512VL}};
constexpr uint32_t kAvx512EbxMask = 0xDC230000u;

constexpr uint64_t kXcr0Avx = 0x6;      // SSE and AVX register state
constexpr uint64_t kXcr0Avx512 = 0xE6;  // plus opmask and the upper ZMM state

uint32_t vendor_of(const CpuidRegs& leaf0) {
  char sig[13];
  std::memcpy(sig, &leaf0.ebx, 4);
  std::memcpy(sig + 4, &leaf0.edx, 4);
  std::memcpy(sig + 8, &leaf0.ecx, 4);
  sig[12] = '\0';
  for (const VendorSignature& v : kVendors)
    if (std::memcmp(sig, v.text, 12) == 0) return v.id;
  return CPU_VENDOR_UNKNOWN;
}

void read_brand(CpuInfo* info, CpuidSource& source, uint32_t max_ext) {
  if (max_ext < 0x80000004u) {
    std::snprintf(info->brand, sizeof info->brand, "%s", "Generic x86_64 processor");
    return;
  }
  for (uint32_t i = 0; i < 3; ++i) {
    CpuidRegs r = source.cpuid(0x80000002u + i, 0);
    std::memcpy(info->brand + 16 * i, &r, 16);
  }
  info->brand[48] = '\0';
  size_t len = 48;
  while (len > 0 && (info->brand[len - 1] == '\0' || info->brand[len - 1] == ' ')) info->brand[--len] = '\0';
  size_t lead = 0;
  while (lead < len && info->brand[lead] == ' ') ++lead;
  std::memmove(info->brand, info->brand + lead, len - lead + 1);
}

}  // namespace

CpuidSource& native_cpuid_source() {
  static NativeCpuidSource source;
  return source;
}

void detect_cpu(CpuInfo* info) { detect_cpu(info, native_cpuid_source()); }

void detect_cpu(CpuInfo* info, CpuidSource& source) {
  info->vendor = info->family = info->model = info->features = 0;
  info->brand[0] = '\0';

  CpuidRegs leaf0 = source.cpuid(0, 0);
  info->vendor = vendor_of(leaf0);
  uint32_t max_basic = leaf0.eax;
  if (max_basic == 0) return;

  CpuidRegs leaf1 = source.cpuid(1, 0);
  info->family = (leaf1.eax >> 8) & 0xF;
  info->model = (leaf1.eax >> 4) & 0xF;
  if (info->family == 6 || info->family == 15) info->model |= (leaf1.eax >> 12) & 0xF0;
  if (info->family == 15) info->family = ((leaf1.eax >> 20) & 0xFF) + 15;

  uint32_t max_ext = source.cpuid(0x80000000u, 0).eax;
  bool amd = info->vendor == CPU_VENDOR_AMD || info->vendor == CPU_VENDOR_HYGON;
  bool intel = info->vendor == CPU_VENDOR_INTEL;
  if (!amd && !intel) return;

  uint32_t f = map_bits(leaf1.edx, kLeaf1Edx) | map_bits(leaf1.ecx, kLeaf1Ecx);
  uint64_t xcr0 = (f & CPU_XSAVE) ? source.xgetbv(0) : 0;
  bool avx_state = (xcr0 & kXcr0Avx) == kXcr0Avx;
  bool avx512_state = (xcr0 & kXcr0Avx512) == kXcr0Avx512;
  if (avx_state) {
    if (leaf1.ecx & (1u << 12)) f |= CPU_FMA3;
    if (leaf1.ecx & (1u << 28)) f |= CPU_AVX;
  }

  if (amd) {
    if (max_basic >= 7) {
      CpuidRegs leaf7 = source.cpuid(7, 0);
      if (avx_state && (leaf7.ebx & (1u << 5))) f |= CPU_AVX2;
    }
    if (max_ext >= 0x80000001u) {
      CpuidRegs ext1 = source.cpuid(0x80000001u, 0);
      if (ext1.ecx & (1u << 6)) f |= CPU_SSE4A;
      f |= map_bits(ext1.edx, kExtEdx);
      if (avx_state && (f & CPU_XSAVE) && (ext1.ecx & (1u << 16))) f |= CPU_FMA4;
    }
  } else if (max_basic >= 7 && (f & CPU_XSAVE)) {
    CpuidRegs leaf7 = source.cpuid(7, 0);
    if (avx_state && (leaf7.ebx & (1u << 5))) f |= CPU_AVX2;
    if (avx512_state) {
      if (leaf7.ebx & kAvx512EbxMask) f |= map_bits(leaf7.ebx, kAvx512Ebx);
      if (leaf7.ecx & (1u << 1)) f |= CPU_AVX512VBMI;
    }
  }
  info->features = f;
  read_brand(info, source, max_ext);
}

bool cpu_prefers(const CpuInfo& cpu, int kind) {
  bool intel = cpu.vendor == CPU_VENDOR_INTEL;
  bool amd = cpu.vendor == CPU_VENDOR_AMD || cpu.vendor == CPU_VENDOR_HYGON;
  switch (kind) {
    case 0:
      return intel && cpu.family == 6 && cpu.model >= 94;
    case 1:
      return intel || (amd && cpu.family >= 23);
    case 2:
      return intel || (amd && cpu.family >= 23 && cpu.model >= 49);
    default:
      return false;
  }
}

const char* cpu_vendor_name(uint32_t vendor) {
  return vendor < sizeof kVendorNames / sizeof kVendorNames[0] ? kVendorNames[vendor] : kVendorNames[0];
}

const char* cpu_feature_name(unsigned bit) { return bit < CPU_FEATURE_COUNT ? kFeatureNames[bit] : nullptr; }

namespace {

// Lays out the four texts behind the pointer record in one block.
CpuDescription* make_description(const char* arch, const char* brand, const char* identity,
                                 const uint32_t features) {
  size_t feature_len = 0;
  for (unsigned bit = 0; bit < CPU_FEATURE_COUNT; ++bit)
    if (features & (1u << bit)) feature_len += std::strlen(kFeatureNames[bit]) + 1;
  size_t arch_len = std::strlen(arch) + 1, brand_len = std::strlen(brand) + 1;
  size_t identity_len = std::strlen(identity) + 1;
  if (feature_len == 0) feature_len = 1;
  size_t size = sizeof(CpuDescription) + arch_len + brand_len + identity_len + feature_len;
  auto* d = static_cast<CpuDescription*>(mem_alloc(size));
  if (!d) return nullptr;
  char* p = reinterpret_cast<char*>(d + 1);
  std::memcpy(p, arch, arch_len);
  d->architecture = p;
  p += arch_len;
  std::memcpy(p, brand, brand_len);
  d->brand = p;
  p += brand_len;
  std::memcpy(p, identity, identity_len);
  d->identity = p;
  p += identity_len;
  d->features = p;
  char* q = p;
  for (unsigned bit = 0; bit < CPU_FEATURE_COUNT; ++bit) {
    if (!(features & (1u << bit))) continue;
    if (q != p) *q++ = ' ';
    size_t len = std::strlen(kFeatureNames[bit]);
    std::memcpy(q, kFeatureNames[bit], len);
    q += len;
  }
  *q = '\0';
  return d;
}

}  // namespace

CpuDescription* describe_cpu_info(const CpuInfo& cpu) {
  // The longest vendor name and two 32-bit hex numbers fit easily.
  char identity[96];
  int len = std::snprintf(identity, sizeof identity, "vendor=%s, family=0x%x, model=0x%x",
                          cpu_vendor_name(cpu.vendor), cpu.family, cpu.model);
  if (len < 0 || static_cast<size_t>(len) >= sizeof identity) return nullptr;
  return make_description("x86_64", cpu.brand, identity, cpu.features);
}

CpuDescription* describe_cpu_generic() { return make_description("x86_64", "native cpu", "unknown", 0); }

CpuDescription* describe_cpu_x86() {
  CpuInfo cpu;
  detect_cpu(&cpu);
  return describe_cpu_info(cpu);
}
