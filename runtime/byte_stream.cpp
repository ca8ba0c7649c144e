#include "runtime/byte_stream.h"

#include "runtime/status.h"

ByteStream::~ByteStream() = default;

int64_t ByteStream::read(void*, uint64_t) { return set_count(-STATUS_NOT_SUPPORTED); }
int64_t ByteStream::read_at(int64_t, void*, uint64_t) { return set_count(-STATUS_NOT_SUPPORTED); }
int64_t ByteStream::write(const void*, uint64_t) { return set_count(-STATUS_NOT_SUPPORTED); }
int64_t ByteStream::write_at(int64_t, const void*, uint64_t) { return set_count(-STATUS_NOT_SUPPORTED); }
int ByteStream::seek(int64_t, int) { return set_status(STATUS_NOT_SUPPORTED); }
int64_t ByteStream::tell() { return set_count(-STATUS_NOT_SUPPORTED); }
int64_t ByteStream::size() { return set_count(-STATUS_NOT_SUPPORTED); }
int ByteStream::info(FileInfo*) { return set_status(STATUS_NOT_SUPPORTED); }
int ByteStream::truncate(int64_t) { return set_status(STATUS_NOT_SUPPORTED); }
int ByteStream::flush() { return set_status(STATUS_NOT_SUPPORTED); }
int ByteStream::sync() { return set_status(STATUS_NOT_SUPPORTED); }
int ByteStream::close() { return set_status(STATUS_OK); }
