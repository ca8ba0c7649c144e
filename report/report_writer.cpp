#include "report/report_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/html_overview.h"
#include "report/report_json.h"
#include "report/svg_plot.h"
#include "report/text_buffer.h"
#include "runtime/alloc.h"
#include "runtime/file_system.h"
#include "runtime/path.h"
#include "runtime/signal_cleanup.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

int errno_status(int error) {
  switch (error) {
    case EPERM:
    case EACCES: return STATUS_ACCESS_DENIED;
    case ENOENT: return STATUS_NOT_FOUND;
    case ENOMEM: return STATUS_NO_MEMORY;
    case ENOSPC:
    case EDQUOT:
    case ENAMETOOLONG: return STATUS_LIMIT;
    case EROFS: return STATUS_READ_ONLY;
    case ENOTDIR: return STATUS_NOT_DIRECTORY;
    case EISDIR: return STATUS_IS_DIRECTORY;
    default: return STATUS_IO_ERROR;
  }
}

// mem_alloc'd "dir/prefix+name".
char* join(const char* dir, const char* prefix, const char* name, const char* suffix) {
  size_t a = strlen(dir), p = strlen(prefix), n = strlen(name), s = strlen(suffix);
  char* out = static_cast<char*>(mem_alloc(a + p + n + s + 2));
  if (!out) return nullptr;
  memcpy(out, dir, a);
  out[a] = '/';
  memcpy(out + a + 1, prefix, p);
  memcpy(out + a + 1 + p, name, n);
  memcpy(out + a + 1 + p + n, suffix, s + 1);
  return out;
}

// Frees the plot names made by make_plot_names.
void free_plot_names(char** names, uint64_t count) {
  if (!names) return;
  for (uint64_t i = 0; i < count; ++i) mem_free(names[i]);
  mem_free(names);
}

uint64_t child_count(const RunReport* r) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < r->groups.count; ++i)
    n += static_cast<ReportGroup* const*>(r->groups.data)[i]->children.count;
  return n;
}

// One name per child in report order, null for a child without a plot.
int make_plot_names(const RunReport* r, char*** out) {
  *out = nullptr;
  uint64_t n = child_count(r);
  if (!n) return STATUS_OK;
  char** names = static_cast<char**>(mem_calloc(n, sizeof(char*)));
  if (!names) return STATUS_NO_MEMORY;
  uint64_t k = 0;
  for (uint64_t gi = 0; gi < r->groups.count; ++gi) {
    const ReportGroup* g = static_cast<ReportGroup* const*>(r->groups.data)[gi];
    for (uint64_t ci = 0; ci < g->children.count; ++ci, ++k) {
      const ReportChild* c = static_cast<ReportChild* const*>(g->children.data)[ci];
      if (!report_child_has_plot(g, c)) continue;
      TextBuffer name;
      text_init(&name);
      if (!report_plot_file_name(gi, ci, c, &name)) {
        text_release(&name);
        free_plot_names(names, n);
        return STATUS_NO_MEMORY;
      }
      names[k] = name.data;  // the buffer's storage passes to the list
    }
  }
  *out = names;
  return STATUS_OK;
}

// Whether dir/name exists (as anything).
bool exists_in(const char* dir, const char* name) {
  char* path = join(dir, "", name, "");
  struct stat info;
  const bool there = path && lstat(path, &info) == 0;
  mem_free(path);
  return there;
}

// Removes the plots this writing made where there was nothing before
// (`fresh[k]`), so that a report that fails part-way leaves no new plot
// beside an older report.json. Plots that replaced older ones stay.
void remove_fresh_plots(const char* dir, char* const* names, const bool* fresh, uint64_t count) {
  for (uint64_t k = 0; names && fresh && k < count; ++k) {
    if (!names[k] || !fresh[k]) continue;
    char* path = join(dir, "", names[k], "");
    if (path) unlink(path);
    mem_free(path);
  }
}

int write_plots(const RunReport* r, const char* dir, char* const* names, bool* fresh) {
  uint64_t k = 0;
  TextBuffer svg;
  text_init(&svg);
  int status = STATUS_OK;
  for (uint64_t gi = 0; gi < r->groups.count && status == STATUS_OK; ++gi) {
    const ReportGroup* g = static_cast<ReportGroup* const*>(r->groups.data)[gi];
    for (uint64_t ci = 0; ci < g->children.count && status == STATUS_OK; ++ci, ++k) {
      if (!names[k]) continue;
      svg.length = 0;
      const ReportChild* c = static_cast<ReportChild* const*>(g->children.data)[ci];
      if (!report_svg_build(g, c, &svg)) {
        status = STATUS_NO_MEMORY;
        break;
      }
      const bool was_there = exists_in(dir, names[k]);
      status = report_write_file(dir, names[k], svg.data, svg.length);
      if (status == STATUS_OK && fresh) fresh[k] = !was_there;
    }
  }
  text_release(&svg);
  return status;
}

}  // namespace

int report_write_file(const char* dir, const char* name, const char* data, uint64_t count) {
  if (!dir || !name || (count && !data)) return STATUS_BAD_ARGUMENT;
  char tmp_suffix[32];
  snprintf(tmp_suffix, sizeof tmp_suffix, ".tmp%ld", static_cast<long>(getpid()));
  char* final_path = join(dir, "", name, "");
  char* tmp_path = join(dir, ".", name, tmp_suffix);
  int status = final_path && tmp_path ? STATUS_OK : STATUS_NO_MEMORY;
  int fd = -1;
  // Registered before it exists, so that a signal removes it whichever
  // thread it reaches.
  bool registered = false;
  if (status == STATUS_OK) {
    (void)signal_cleanup_install();
    registered = signal_cleanup_register(tmp_path);
    do fd = open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) status = errno_status(errno);
    else if (registered) signal_cleanup_created();
  }
  uint64_t done = 0;
  while (status == STATUS_OK && done < count) {
    ssize_t n = write(fd, data + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) status = n < 0 ? errno_status(errno) : STATUS_IO_ERROR;
    else done += static_cast<uint64_t>(n);
  }
  if (fd >= 0 && close(fd) != 0 && status == STATUS_OK) status = errno_status(errno);
  if (status == STATUS_OK && rename(tmp_path, final_path) != 0) status = errno_status(errno);
  if (status != STATUS_OK && fd >= 0) unlink(tmp_path);
  if (registered) signal_cleanup_clear();
  mem_free(final_path);
  mem_free(tmp_path);
  return status;
}

int report_write(const RunReport* r, const char* dir) {
  if (!r || !dir || !*dir) return STATUS_BAD_ARGUMENT;
  String path;
  string_init(&path);
  int status = path_set(&path, dir);
  if (status == STATUS_OK) status = make_directories(&path, true);
  string_free(&path);
  if (status != STATUS_OK) return status;

  char** names = nullptr;
  status = make_plot_names(r, &names);
  const uint64_t children = child_count(r);
  bool* fresh = nullptr;
  if (status == STATUS_OK && names) {
    fresh = static_cast<bool*>(mem_calloc(children, sizeof(bool)));
    status = fresh ? write_plots(r, dir, names, fresh) : STATUS_NO_MEMORY;
  }
  TextBuffer doc;
  text_init(&doc);
  if (status == STATUS_OK)
    status = report_json_build(r, names, &doc) ? report_write_file(dir, "report.json", doc.data, doc.length)
                                               : STATUS_NO_MEMORY;
  if (status == STATUS_OK) {
    text_release(&doc);
    status = report_html_build(r, names, dir, &doc) ? report_write_file(dir, "index.html", doc.data, doc.length)
                                                    : STATUS_NO_MEMORY;
  }
  text_release(&doc);
  if (status != STATUS_OK) remove_fresh_plots(dir, names, fresh, children);
  mem_free(fresh);
  free_plot_names(names, children);
  return status;
}

int report_write(const RunReport* r, const String* directory) {
  if (!directory) return STATUS_BAD_ARGUMENT;
  char* dir = path_to_utf8(directory);
  if (!dir) return STATUS_NO_MEMORY;
  int status = report_write(r, dir);
  mem_free(dir);
  return status;
}
