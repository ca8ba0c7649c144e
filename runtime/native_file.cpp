#include "runtime/native_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/alloc.h"
#include "runtime/file_system.h"
#include "runtime/path.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

int open_status(int error) {
  switch (error) {
    case EPERM:
    case EACCES: return STATUS_ACCESS_DENIED;
    case ENOENT: return STATUS_NOT_FOUND;
    case ENOMEM: return STATUS_NO_MEMORY;
    case EINVAL: return STATUS_BAD_VALUE;
    case ENAMETOOLONG: return STATUS_LIMIT;
    case EEXIST: return STATUS_EXISTS;
    case ENOTDIR: return STATUS_PATH_COMPONENT;
    case EISDIR: return STATUS_IS_DIRECTORY;
    case EROFS: return STATUS_READ_ONLY;
    default: return STATUS_IO_ERROR;
  }
}

}  // namespace

NativeFile::~NativeFile() { (void)close(); }

int NativeFile::open(const String* path, int flags) {
  if (fd_ >= 0) return set_status(STATUS_INVALID);
  if (!path) return set_status(STATUS_BAD_ARGUMENT);
  bool rd = flags & OPEN_READ, wr = flags & OPEN_WRITE;
  if (!rd && !wr) return set_status(STATUS_BAD_VALUE);
  FileInfo info;
  if (lstat_path(path, &info) == STATUS_OK && info.type == FILE_TYPE_DIRECTORY)
    return set_status(flags & OPEN_CREATE ? STATUS_EXISTS : STATUS_NOT_FOUND);
  int sys = rd && wr ? O_RDWR : (wr ? O_WRONLY : O_RDONLY);
  if (flags & OPEN_CREATE) sys |= O_CREAT;
  if (flags & OPEN_TRUNCATE) sys |= O_TRUNC;
  char* text = path_to_utf8(path);
  if (!text) return set_status(STATUS_NO_MEMORY);
  int fd;
  do fd = ::open(text, sys | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  int error = errno;
  mem_free(text);
  if (fd < 0) return set_status(open_status(error));
  fd_ = fd;
  mode_ = (rd ? MODE_READ : 0) | (wr ? MODE_WRITE : 0) | MODE_OWNS;
  return set_status(STATUS_OK);
}

int NativeFile::wrap(int descriptor, int mode) {
  if (fd_ >= 0) return set_status(STATUS_INVALID);
  if (descriptor < 0) return set_status(STATUS_BAD_ARGUMENT);
  fd_ = descriptor;
  mode_ = mode & (MODE_READ | MODE_WRITE | MODE_OWNS);
  return set_status(STATUS_OK);
}

int64_t NativeFile::transfer_read(bool positioned, int64_t offset, void* buf, uint64_t count) {
  if (fd_ < 0) return set_count(-STATUS_INVALID);
  if (!(mode_ & MODE_READ)) return set_count(-STATUS_ACCESS_DENIED);
  uint8_t* p = static_cast<uint8_t*>(buf);
  uint64_t got = 0;
  bool failed = false;
  while (got < count) {
    ssize_t n = positioned ? ::pread(fd_, p + got, count - got, offset + static_cast<int64_t>(got))
                           : ::read(fd_, p + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    got += static_cast<uint64_t>(n);
  }
  if (got == 0 && count > 0) return set_count(failed ? -STATUS_IO_ERROR : -STATUS_END_OF_STREAM);
  return set_count(static_cast<int64_t>(got));
}

int64_t NativeFile::transfer_write(bool positioned, int64_t offset, const void* data, uint64_t count) {
  if (fd_ < 0) return set_count(-STATUS_INVALID);
  if (!(mode_ & MODE_WRITE)) return set_count(-STATUS_ACCESS_DENIED);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint64_t put = 0;
  while (put < count) {
    ssize_t n = positioned ? ::pwrite(fd_, p + put, count - put, offset + static_cast<int64_t>(put))
                           : ::write(fd_, p + put, count - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    put += static_cast<uint64_t>(n);
  }
  if (put == 0 && count > 0) return set_count(-STATUS_IO_ERROR);
  return set_count(static_cast<int64_t>(put));
}

int64_t NativeFile::read(void* buf, uint64_t count) { return transfer_read(false, 0, buf, count); }

int64_t NativeFile::read_at(int64_t offset, void* buf, uint64_t count) {
  return transfer_read(true, offset, buf, count);
}

int64_t NativeFile::write(const void* data, uint64_t count) { return transfer_write(false, 0, data, count); }

int64_t NativeFile::write_at(int64_t offset, const void* data, uint64_t count) {
  return transfer_write(true, offset, data, count);
}

int NativeFile::seek(int64_t offset, int whence) {
  if (fd_ < 0) return set_status(STATUS_INVALID);
  int sys = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : -1;
  if (sys < 0) return set_status(STATUS_BAD_ARGUMENT);
  if (::lseek(fd_, offset, sys) < 0) return set_status(errno == ESPIPE ? STATUS_NOT_SUPPORTED : STATUS_IO_ERROR);
  return set_status(STATUS_OK);
}

int64_t NativeFile::tell() {
  if (fd_ < 0) return set_count(-STATUS_INVALID);
  off_t at = ::lseek(fd_, 0, SEEK_CUR);
  return set_count(at < 0 ? -STATUS_IO_ERROR : static_cast<int64_t>(at));
}

int64_t NativeFile::size() {
  if (fd_ < 0) return set_count(-STATUS_INVALID);
  struct stat st;
  if (::fstat(fd_, &st) != 0) return set_count(-STATUS_IO_ERROR);
  return set_count(static_cast<int64_t>(st.st_size));
}

int NativeFile::info(FileInfo* out) {
  if (fd_ < 0) return set_status(STATUS_INVALID);
  return set_status(stat_descriptor(fd_, out));
}

int NativeFile::truncate(int64_t size) {
  if (fd_ < 0) return set_status(STATUS_INVALID);
  if (!(mode_ & MODE_WRITE)) return set_status(STATUS_ACCESS_DENIED);
  if (::ftruncate(fd_, size) != 0) return set_status(STATUS_IO_ERROR);
  return set_status(STATUS_OK);
}

int NativeFile::flush() {
  if (fd_ < 0) return set_status(STATUS_INVALID);
  return set_status(mode_ & MODE_WRITE ? STATUS_OK : STATUS_ACCESS_DENIED);
}

int NativeFile::sync() {
  if (fd_ < 0) return set_status(STATUS_INVALID);
  if (!(mode_ & MODE_WRITE)) return set_status(STATUS_ACCESS_DENIED);
  return set_status(::fsync(fd_) == 0 ? STATUS_OK : STATUS_IO_ERROR);
}

int NativeFile::close() {
  if (fd_ < 0) return set_status(STATUS_OK);
  if ((mode_ & MODE_OWNS) && ::close(fd_) != 0 && errno != EINTR) return set_status(STATUS_IO_ERROR);
  fd_ = -1;
  mode_ = 0;
  return set_status(STATUS_OK);
}
