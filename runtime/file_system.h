#pragma once

#include <cstddef>
#include <cstdint>

struct String;

// Kind of a directory entry.
enum FileType : int32_t {
  FILE_TYPE_BLOCK_DEVICE = 0,
  FILE_TYPE_CHAR_DEVICE = 1,
  FILE_TYPE_DIRECTORY = 2,
  FILE_TYPE_FIFO = 3,
  FILE_TYPE_SYMLINK = 4,
  FILE_TYPE_REGULAR = 5,
  FILE_TYPE_SOCKET = 6,
  FILE_TYPE_OTHER = 7,
};

// What the system knows about an entry. Times are milliseconds since the
// epoch (seconds x 1000 + nanoseconds / 1000000).
struct FileInfo {
  FileType type;
  int64_t block_size;  // preferred I/O block size
  int64_t size;        // bytes
  uint64_t inode;
  int64_t change_time;
  int64_t modification_time;
  int64_t access_time;
};

// Fill *out from the system (stat follows symbolic links, lstat does not).
// 0, 13 for a missing argument, 5 when the path cannot be encoded, or the
// errno of the call mapped: EACCES 22, ENOENT 6, ENOMEM 5, EBADF 28,
// ENAMETOOLONG 18, EOVERFLOW 18, anything else 23. *out is written only on
// success.
[[nodiscard]] int stat_path(const String* path, FileInfo* out);
[[nodiscard]] int lstat_path(const String* path, FileInfo* out);
[[nodiscard]] int stat_descriptor(int descriptor, FileInfo* out);

// Creates one directory with mode 0755. An existing directory is success;
// an existing entry of another kind is 17. Other errno values: EPERM and
// EACCES 22, ENOENT 6, EFAULT, EINVAL and ENAMETOOLONG 13, ENOTDIR 19,
// ENOSPC and EDQUOT 18, anything else 23.
[[nodiscard]] int make_directory(const String* path);

// make_directory; when that fails and `recursive` is set, creates every
// prefix of the path as given ('\' read as '/', "." and ".." kept, so
// "../out/a" creates ../out beside the working directory), accepting those
// that exist, and returns the first failure, else the status of creating
// `path` itself. A relative path without a '/' between components gives 28;
// "/name" gives the failure of creating it.
[[nodiscard]] int make_directories(const String* path, bool recursive);

// Asks the system why `path` cannot be read, for a caller whose own open
// (libsndfile's, say) has failed: opens it read-only and non-blocking (a
// FIFO does not hang) and closes it again. Returns 0 when it opens and is
// not a directory (the fault then lies in the content), else the system's
// answer: ENOENT 6, EACCES and EPERM 22, a directory (EISDIR or opened) 42,
// ENOTDIR 43, ELOOP (a symbolic link loop, an operating-system failure) 23,
// ENAMETOOLONG 18, ENOMEM 5, anything else 23; 13 without a path, 5 when
// the path cannot be encoded. When cause_size is above 0, `cause` receives
// the system's text for that errno (strerror_r: no process-wide state,
// safe with threads), cut to cause_size - 1 bytes, or "" on 0.
[[nodiscard]] int path_probe_readable(const String* path, char* cause, size_t cause_size);
