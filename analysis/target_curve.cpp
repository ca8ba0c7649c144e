#include "analysis/target_curve.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "runtime/alloc.h"

namespace {

constexpr double kMaxGainDb = 200.0;

bool blank(char c) { return c == ' ' || c == '\t'; }

// [begin, end) without surrounding blanks.
void trim(const char*& begin, const char*& end) {
  while (begin < end && blank(*begin)) ++begin;
  while (end > begin && blank(end[-1])) --end;
}

// A whole field as a finite number: an optional sign, digits with an
// optional '.' and fraction, an optional exponent. No words (inf, nan), no
// hexadecimal, whatever the locale.
bool parse_number(const char* begin, const char* end, double* out) {
  trim(begin, end);
  const char* p = begin;
  if (p < end && (*p == '+' || *p == '-')) ++p;
  const char* digits = p;
  bool any = false;
  while (p < end && *p >= '0' && *p <= '9') ++p, any = true;
  if (p < end && *p == '.') {
    ++p;
    while (p < end && *p >= '0' && *p <= '9') ++p, any = true;
  }
  if (!any) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exponent = p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    if (p == exponent) return false;
  }
  if (p != end) return false;
  double v = 0.0;
  auto result = std::from_chars(digits, end, v);
  if (result.ec != std::errc() || result.ptr != end || !std::isfinite(v)) return false;
  *out = *begin == '-' ? -v : v;
  return true;
}

Status refuse(TargetCurveError* error, uint64_t line, const char* what) {
  if (error) {
    error->line = line;
    std::snprintf(error->what, sizeof error->what, "%s", what);
  }
  return STATUS_BAD_FORMAT;
}

}  // namespace

void target_curve_init(TargetCurve& curve) {
  curve.hz = nullptr;
  curve.db = nullptr;
  curve.count = 0;
}

void target_curve_destroy(TargetCurve& curve) {
  mem_free(curve.hz);
  mem_free(curve.db);
  target_curve_init(curve);
}

Status target_curve_parse(TargetCurve& curve, const char* text, size_t size, TargetCurveError* error) {
  if (!text && size) return STATUS_BAD_ARGUMENT;
  if (size && std::memchr(text, '\0', size)) return refuse(error, 0, "the file contains a NUL byte");
  // Rows are at most one per line.
  uint64_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += text[i] == '\n';
  TargetCurve fresh;
  target_curve_init(fresh);
  fresh.hz = static_cast<double*>(mem_alloc(lines * sizeof(double)));
  fresh.db = static_cast<double*>(mem_alloc(lines * sizeof(double)));
  if (!fresh.hz || !fresh.db) {
    target_curve_destroy(fresh);
    return STATUS_NO_MEMORY;
  }
  bool first = true;  // no row and no header seen yet
  uint64_t line = 0;
  Status st = STATUS_OK;
  for (size_t at = 0; at < size && st == STATUS_OK;) {
    ++line;
    const char* begin = text + at;
    const char* stop = static_cast<const char*>(std::memchr(begin, '\n', size - at));
    const char* end = stop ? stop : text + size;
    at = static_cast<size_t>(end - text) + (stop ? 1 : 0);
    if (end > begin && end[-1] == '\r') --end;
    trim(begin, end);
    if (begin == end || *begin == '#') continue;
    const char* comma = static_cast<const char*>(std::memchr(begin, ',', static_cast<size_t>(end - begin)));
    double hz = 0.0, db = 0.0;
    const bool hz_ok = parse_number(begin, comma ? comma : end, &hz);
    if (first && !hz_ok) {  // a header
      first = false;
      continue;
    }
    first = false;
    if (!comma || std::memchr(comma + 1, ',', static_cast<size_t>(end - comma - 1))) {
      st = refuse(error, line, "expected two comma-separated values: frequency,dB");
    } else if (!hz_ok) {
      st = refuse(error, line, "the frequency is not a number");
    } else if (!parse_number(comma + 1, end, &db)) {
      st = refuse(error, line, "the gain (dB) is not a number");
    } else if (!(hz > 0.0)) {
      st = refuse(error, line, "the frequency must be positive");
    } else if (fresh.count > 0 && !(hz > fresh.hz[fresh.count - 1])) {
      st = refuse(error, line, "frequencies must increase from row to row");
    } else if (std::fabs(db) > kMaxGainDb) {
      st = refuse(error, line, "the gain must lie between -200 and 200 dB");
    } else {
      fresh.hz[fresh.count] = hz;
      fresh.db[fresh.count] = db;
      ++fresh.count;
    }
  }
  if (st == STATUS_OK && fresh.count < 2) st = refuse(error, 0, "at least two rows of frequency,dB are needed");
  if (st == STATUS_OK) {
    TargetCurve old = curve;
    curve = fresh;
    fresh = old;
  }
  target_curve_destroy(fresh);
  return st;
}

double target_curve_db_at(const TargetCurve& curve, double hz) {
  const uint64_t n = curve.count;
  if (n == 0) return 0.0;
  if (hz <= curve.hz[0]) return curve.db[0];
  if (hz >= curve.hz[n - 1]) return curve.db[n - 1];
  uint64_t lo = 0, hi = n - 1;  // hz[lo] < hz < hz[hi]
  while (hi - lo > 1) {
    uint64_t mid = lo + (hi - lo) / 2;
    (curve.hz[mid] <= hz ? lo : hi) = mid;
  }
  const double w = std::log(hz / curve.hz[lo]) / std::log(curve.hz[hi] / curve.hz[lo]);
  return curve.db[lo] + w * (curve.db[hi] - curve.db[lo]);
}

void target_curve_apply_row(float* row, uint64_t n, const TargetCurve& curve, double bin_hz, double offset_db) {
  for (uint64_t k = 0; k <= n / 2; ++k) {
    const double db = target_curve_db_at(curve, static_cast<double>(k) * bin_hz) + offset_db;
    const float gain = static_cast<float>(std::pow(10.0, db / 20.0));
    row[k] *= gain;
    if (k > 0 && k < n - k) row[n - k] *= gain;
  }
}

void target_curve_apply(Sample& profile, const TargetCurve& curve, double bin_hz, double offset_db) {
  for (uint64_t c = 0; c < profile.channels; ++c)
    target_curve_apply_row(profile.data + c * profile.stride, profile.length, curve, bin_hz, offset_db);
}
