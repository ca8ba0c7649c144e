// Arbitrary bytes as a target-curve table: parsed, and when accepted, laid
// onto the bins of a small profile and read between and beyond its rows.
// A table is either refused with a line and a reason, or gives finite,
// strictly increasing frequencies and gains within the allowed range.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "analysis/sample.h"
#include "analysis/target_curve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TargetCurve curve;
  target_curve_init(curve);
  TargetCurveError error{};
  Status st = target_curve_parse(curve, reinterpret_cast<const char*>(data), size, &error);
  if (st == STATUS_BAD_FORMAT && error.what[0] == '\0') std::abort();
  if (st == STATUS_OK) {
    if (curve.count < 2) std::abort();
    for (uint64_t i = 0; i < curve.count; ++i) {
      if (!(curve.hz[i] > 0.0) || !std::isfinite(curve.hz[i]) || !(std::fabs(curve.db[i]) <= 200.0)) std::abort();
      if (i > 0 && !(curve.hz[i] > curve.hz[i - 1])) std::abort();
    }
    Sample profile;
    sample_init(profile);
    if (sample_allocate(profile, 2, 256, 256)) {
      for (uint64_t k = 0; k < 2 * profile.stride; ++k) profile.data[k] = 1.0f;
      target_curve_apply(profile, curve, 187.5, 0.0);
      for (uint64_t c = 0; c < 2; ++c)
        for (uint64_t k = 0; k < 256; ++k)
          if (!std::isfinite(profile.data[c * profile.stride + k])) std::abort();
    }
    sample_destroy(profile);
    const double probes[] = {0.0, curve.hz[0] * 0.5, curve.hz[curve.count - 1] * 2.0,
                             std::sqrt(curve.hz[0] * curve.hz[curve.count - 1])};
    for (double hz : probes)
      if (!(std::fabs(target_curve_db_at(curve, hz)) <= 200.0)) std::abort();
  }
  target_curve_destroy(curve);
  return 0;
}
