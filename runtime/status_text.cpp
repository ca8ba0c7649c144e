#include "runtime/status_text.h"

#include "runtime/status.h"

const char* status_text(int status) {
  if (status < 0) status = -status;
  switch (status) {
    case STATUS_OK: return "success";
    case STATUS_SYSTEM: return "system error of the audio library";
    case STATUS_NO_MEMORY: return "out of memory";
    case STATUS_NOT_FOUND: return "no such file or directory";
    case STATUS_BAD_FORMAT: return "bad format";
    case STATUS_UNSUPPORTED: return "not supported";
    case STATUS_MALFORMED: return "malformed file";
    case STATUS_BAD_ARGUMENT: return "invalid argument";
    case STATUS_INVALID: return "invalid state";
    case STATUS_NOT_IMPLEMENTED: return "not implemented";
    case STATUS_EXISTS: return "an entry of that name is in the way";
    case STATUS_LIMIT: return "name too long, value too large or no space left";
    case STATUS_NOT_DIRECTORY: return "a component of the path is not a directory";
    case STATUS_ACCESS_DENIED: return "permission denied";
    case STATUS_IO_ERROR: return "input/output error";
    case STATUS_END_OF_STREAM: return "unexpected end of file";
    case STATUS_NOT_OPEN: return "not open";
    case STATUS_NOT_SUPPORTED: return "operation not supported";
    case STATUS_BAD_VALUE: return "bad value";
    case STATUS_NO_CONVERTER: return "no character-set converter";
    case STATUS_ALREADY_OPEN: return "already open";
    case STATUS_TYPE_MISMATCH: return "value of the wrong type";
    case STATUS_CORRUPTED: return "unexpected end of the document";
    case STATUS_IS_DIRECTORY: return "is a directory";
    case STATUS_PATH_COMPONENT: return "a component of the path is not a directory";
    case STATUS_READ_ONLY: return "read-only file system";
    case STATUS_SYNTAX: return "syntax error";
    default: return "error";
  }
}
