#include "runtime/file_system.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "runtime/alloc.h"
#include "runtime/path.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

int stat_status(int error) {
  switch (error) {
    case EACCES: return STATUS_ACCESS_DENIED;
    case ENOENT: return STATUS_NOT_FOUND;
    case ENOMEM: return STATUS_NO_MEMORY;
    case EBADF: return STATUS_BAD_VALUE;
    case ENAMETOOLONG:
    case EOVERFLOW: return STATUS_LIMIT;
    default: return STATUS_IO_ERROR;
  }
}

int mkdir_status(int error) {
  switch (error) {
    case EPERM:
    case EACCES: return STATUS_ACCESS_DENIED;
    case ENOENT: return STATUS_NOT_FOUND;
    case EFAULT:
    case EINVAL:
    case ENAMETOOLONG: return STATUS_BAD_ARGUMENT;
    case ENOTDIR: return STATUS_NOT_DIRECTORY;
    case ENOSPC:
    case EDQUOT: return STATUS_LIMIT;
    default: return STATUS_IO_ERROR;
  }
}

int probe_status(int error) {
  switch (error) {
    case ENOENT: return STATUS_NOT_FOUND;
    case EPERM:
    case EACCES: return STATUS_ACCESS_DENIED;
    case EISDIR: return STATUS_IS_DIRECTORY;
    case ENOTDIR: return STATUS_PATH_COMPONENT;
    case ENAMETOOLONG: return STATUS_LIMIT;
    case ENOMEM: return STATUS_NO_MEMORY;
    default: return STATUS_IO_ERROR;  // ELOOP among them
  }
}

// strerror_r comes in two shapes: the XSI one returns 0 and fills the
// buffer, the GNU one returns the text (which may not be the buffer).
[[maybe_unused]] const char* error_text(int rc, const char* buffer) { return rc == 0 ? buffer : "unknown error"; }
[[maybe_unused]] const char* error_text(const char* text, const char*) { return text ? text : "unknown error"; }

void describe_errno(int error, char* cause, size_t cause_size) {
  if (!cause || cause_size == 0) return;
  char buffer[256];
  buffer[0] = 0;
  const char* text = error_text(strerror_r(error, buffer, sizeof buffer), buffer);
  size_t n = std::strlen(text);
  if (n >= cause_size) n = cause_size - 1;
  std::memmove(cause, text, n);
  cause[n] = 0;
}

int64_t millis(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000 + static_cast<int64_t>(t.tv_nsec) / 1000000;
}

FileType type_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return FILE_TYPE_FIFO;
    case S_IFCHR: return FILE_TYPE_CHAR_DEVICE;
    case S_IFDIR: return FILE_TYPE_DIRECTORY;
    case S_IFBLK: return FILE_TYPE_BLOCK_DEVICE;
    case S_IFREG: return FILE_TYPE_REGULAR;
    case S_IFLNK: return FILE_TYPE_SYMLINK;
    case S_IFSOCK: return FILE_TYPE_SOCKET;
    default: return FILE_TYPE_OTHER;
  }
}

void fill(const struct stat& st, FileInfo* out) {
  out->type = type_of(st.st_mode);
  out->block_size = static_cast<int32_t>(st.st_blksize);
  out->size = static_cast<int64_t>(st.st_size);
  out->inode = static_cast<uint64_t>(st.st_ino);
  out->change_time = millis(st.st_ctim);
  out->modification_time = millis(st.st_mtim);
  out->access_time = millis(st.st_atim);
}

int stat_common(const String* path, FileInfo* out, bool follow) {
  if (!path || !out) return STATUS_BAD_ARGUMENT;
  char* text = path_to_utf8(path);
  if (!text) return STATUS_NO_MEMORY;
  struct stat st;
  int rc = follow ? ::stat(text, &st) : ::lstat(text, &st);
  int error = errno;
  mem_free(text);
  if (rc != 0) return stat_status(error);
  fill(st, out);
  return STATUS_OK;
}

}  // namespace

int stat_path(const String* path, FileInfo* out) { return stat_common(path, out, true); }

int lstat_path(const String* path, FileInfo* out) { return stat_common(path, out, false); }

int stat_descriptor(int descriptor, FileInfo* out) {
  if (!out) return STATUS_BAD_ARGUMENT;
  struct stat st;
  if (::fstat(descriptor, &st) != 0) return stat_status(errno);
  fill(st, out);
  return STATUS_OK;
}

int make_directory(const String* path) {
  if (!path) return STATUS_BAD_ARGUMENT;
  char* text = path_to_utf8(path);
  if (!text) return STATUS_NO_MEMORY;
  int rc = ::mkdir(text, 0755);
  int error = errno;
  mem_free(text);
  if (rc == 0) return STATUS_OK;
  if (error == EEXIST) {
    FileInfo info;
    if (stat_path(path, &info) == STATUS_OK && info.type == FILE_TYPE_DIRECTORY) return STATUS_OK;
    return STATUS_EXISTS;
  }
  return mkdir_status(error);
}

int make_directories(const String* path, bool recursive) {
  if (!path) return STATUS_BAD_ARGUMENT;
  int first = make_directory(path);
  if (first == STATUS_OK || !recursive) return first;
  // The prefixes are taken from the path as given: normalising first would
  // drop a leading ".." and create its components under the wrong parent.
  String work;
  string_init(&work);
  if (path->length && !string_assign_chars(&work, path->chars, path->length)) return STATUS_NO_MEMORY;
  string_replace_char(&work, '\\', '/');
  uint64_t end = work.length;
  while (end > 1 && work.chars[end - 1] == '/') --end;  // trailing '/' names no component
  bool has_slash = false;
  for (uint64_t i = 1; i < end; ++i) has_slash = has_slash || work.chars[i] == '/';
  if (!has_slash) {
    // Nothing above it to create: "/name" keeps its own failure.
    bool absolute = path_is_absolute(&work);
    string_free(&work);
    return absolute ? first : STATUS_BAD_VALUE;
  }
  int st = STATUS_OK;
  // Each prefix that ends a non-empty component, before a '/' (after the
  // leading one of an absolute path); existing directories are accepted.
  String prefix;
  string_init(&prefix);
  for (uint64_t i = 1; st == STATUS_OK && i < end; ++i) {
    if (work.chars[i] != '/' || work.chars[i - 1] == '/') continue;
    if (!string_assign_chars(&prefix, work.chars, i)) {
      st = STATUS_NO_MEMORY;
      break;
    }
    st = make_directory(&prefix);
  }
  string_free(&prefix);
  string_free(&work);
  if (st != STATUS_OK) return st;
  return make_directory(path);
}

int path_probe_readable(const String* path, char* cause, size_t cause_size) {
  if (cause && cause_size) cause[0] = 0;
  if (!path) return STATUS_BAD_ARGUMENT;
  char* text = path_to_utf8(path);
  if (!text) return STATUS_NO_MEMORY;
  int fd = ::open(text, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int error = errno;
  mem_free(text);
  if (fd >= 0) {
    struct stat st;
    bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    if (!directory) return STATUS_OK;
    error = EISDIR;
  }
  describe_errno(error, cause, cause_size);
  return probe_status(error);
}
