#include "tool/curve_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/frequency_grid.h"
#include "report/report_writer.h"
#include "runtime/alloc.h"
#include "runtime/file_system.h"
#include "runtime/hash_map.h"
#include "runtime/output.h"
#include "runtime/path.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/status_text.h"
#include "tool/tool_config.h"

namespace {

constexpr uint64_t kMaxCurveBytes = uint64_t{4} << 20;
constexpr int kGridPerOctave = 24;

const char* text_of(const String* s) {
  const char* t = string_to_locale(const_cast<String*>(s));
  return t ? t : "";
}

// The whole file at `path` into a fresh buffer (mem_alloc); 0, the
// system's status (with `cause`), 7 when it is too large, 5.
int read_whole(const String* path, char** data, uint64_t* size, char* cause, size_t cause_size) {
  int st = path_probe_readable(path, cause, cause_size);
  if (st != 0) return st;
  char* utf8 = path_to_utf8(path);
  if (!utf8) return STATUS_NO_MEMORY;
  int fd = -1;
  do fd = open(utf8, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  mem_free(utf8);
  if (fd < 0) return path_probe_readable(path, cause, cause_size);
  char* buffer = static_cast<char*>(mem_alloc(kMaxCurveBytes + 1));
  uint64_t used = 0;
  st = buffer ? 0 : STATUS_NO_MEMORY;
  while (st == 0 && used <= kMaxCurveBytes) {
    ssize_t n = read(fd, buffer + used, kMaxCurveBytes + 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      st = STATUS_IO_ERROR;
      std::snprintf(cause, cause_size, "%s", std::strerror(errno));
    }
    if (n <= 0) break;
    used += static_cast<uint64_t>(n);
  }
  close(fd);
  if (st == 0 && used > kMaxCurveBytes) st = STATUS_BAD_FORMAT;
  if (st != 0) {
    mem_free(buffer);
    return st;
  }
  *data = buffer;
  *size = used;
  return 0;
}

}  // namespace

int load_target_curve(const ToolConfig* cfg, TargetCurve& curve) {
  const String* path = &cfg->target_curve;
  char* data = nullptr;
  uint64_t size = 0;
  char cause[256] = "";
  int st = read_whole(path, &data, &size, cause, sizeof cause);
  if (st == STATUS_BAD_FORMAT) {
    std::fprintf(stderr, "Bad target curve '%s': the file is larger than 4 MiB\n", text_of(path));
    return st;
  }
  if (st != 0) {
    std::fprintf(stderr, "Could not read target curve '%s': %s\n", text_of(path), cause[0] ? cause : status_text(st));
    return st;
  }
  TargetCurveError why{};
  st = target_curve_parse(curve, data, static_cast<size_t>(size), &why);
  mem_free(data);
  if (st == STATUS_BAD_FORMAT) {
    if (why.line > 0) {
      std::fprintf(stderr, "Bad target curve '%s', line %llu: %s\n", text_of(path),
                   static_cast<unsigned long long>(why.line), why.what);
    } else {
      std::fprintf(stderr, "Bad target curve '%s': %s\n", text_of(path), why.what);
    }
  } else if (st != 0) {
    std::fprintf(stderr, "Not enough memory\n");
  }
  return st;
}

int check_reference_groups(const ToolConfig* cfg) {
  PtrList groups;
  ptrlist_init(&groups);
  if (!hashmap_values(&cfg->groups, &groups)) return STATUS_NO_MEMORY;
  int st = 0;
  for (uint64_t i = 0; i < groups.count && st == 0; ++i) {
    const Group* g = static_cast<const Group*>(groups.items[i]);
    if (!g) continue;
    if (group_master_count(g) > 1 && !cfg->mastering) {
      std::fprintf(stderr, "Group '%s' has %llu masters: several references need mastering mode (-m true)\n",
                   text_of(&g->name), static_cast<unsigned long long>(group_master_count(g)));
      st = STATUS_BAD_ARGUMENT;
      continue;
    }
    if (cfg->target_curve.length == 0 || g->master.length > 0 || g->files.count == 0) continue;
    if (!cfg->mastering) {
      std::fprintf(stderr, "Group '%s' has no master: a target curve alone needs mastering mode (-m true)\n",
                   text_of(&g->name));
      st = STATUS_BAD_ARGUMENT;
    } else if (cfg->match_loudness) {
      std::fprintf(stderr, "Group '%s' has no master: there is no loudness to match (-lm)\n", text_of(&g->name));
      st = STATUS_BAD_ARGUMENT;
    }
  }
  ptrlist_release(&groups);
  return st;
}

int correction_csv(char** out, uint64_t* size, const CurveTrace& trace, uint64_t rate, unsigned rank) {
  const Sample& curve = trace.applied_db;
  const uint64_t bins = curve.length;
  const double bin_hz = static_cast<double>(rate) / static_cast<double>(uint64_t{1} << rank);
  const uint64_t points = grid_count(bin_hz * static_cast<double>(bins ? bins - 1 : 0), kGridPerOctave);
  double* row = static_cast<double*>(mem_alloc((bins ? bins : 1) * sizeof(double)));
  // Each value takes at most 24 characters.
  const uint64_t capacity = 32 + 16 * curve.channels + points * (24 + 24 * curve.channels);
  char* text = static_cast<char*>(mem_alloc(capacity));
  double* values = static_cast<double*>(mem_alloc((points ? points : 1) * (curve.channels ? curve.channels : 1) * sizeof(double)));
  int st = row && text && values ? 0 : STATUS_NO_MEMORY;
  if (st == 0) {
    for (uint64_t c = 0; c < curve.channels; ++c) {
      for (uint64_t k = 0; k < bins; ++k) row[k] = curve.data[c * curve.stride + k];
      for (uint64_t p = 0; p < points; ++p)
        values[p * curve.channels + c] = curve_at(row, bins, bin_hz, grid_frequency(p, kGridPerOctave));
    }
    uint64_t used = static_cast<uint64_t>(std::snprintf(text, capacity, "frequency_hz"));
    for (uint64_t c = 0; c < curve.channels; ++c)
      used += static_cast<uint64_t>(std::snprintf(text + used, capacity - used, ",db_ch%llu",
                                                  static_cast<unsigned long long>(c + 1)));
    used += static_cast<uint64_t>(std::snprintf(text + used, capacity - used, "\n"));
    for (uint64_t p = 0; p < points; ++p) {
      used += static_cast<uint64_t>(std::snprintf(text + used, capacity - used, "%.6g", grid_frequency(p, kGridPerOctave)));
      for (uint64_t c = 0; c < curve.channels; ++c)
        used += static_cast<uint64_t>(std::snprintf(text + used, capacity - used, ",%.4f", values[p * curve.channels + c]));
      used += static_cast<uint64_t>(std::snprintf(text + used, capacity - used, "\n"));
    }
    *out = text;
    *size = used;
    text = nullptr;
  }
  mem_free(row);
  mem_free(text);
  mem_free(values);
  return st;
}

int save_text_file(const String* path, const char* data, uint64_t size) {
  String parent, base;
  string_init(&parent);
  string_init(&base);
  int st = path_parent(path, &parent);
  if (st == STATUS_NOT_FOUND) {
    st = path_set(&parent, ".");
  } else if (st == 0 && parent.length > 0) {
    st = make_directories(&parent, true);
    if (st != 0) err_printf("  could not create directory '%s', error code: %d\n", text_of(&parent), st);
  }
  if (st == 0) st = path_file_part(path, &base);
  char* dir = st == 0 ? path_to_utf8(&parent) : nullptr;
  char* name = st == 0 ? path_to_utf8(&base) : nullptr;
  if (st == 0 && (!dir || !name)) st = STATUS_NO_MEMORY;
  if (st == 0) {
    st = report_write_file(dir[0] ? dir : ".", name, data, size);
    if (st != 0) {
      err_printf("  could not write file '%s', error code: %d\n", text_of(path), st);
      err_printf("  %s\n", status_text(st));
    } else {
      out_printf("  saved file: '%s'\n", text_of(path));
    }
  }
  mem_free(dir);
  mem_free(name);
  string_free(&parent);
  string_free(&base);
  return st;
}
