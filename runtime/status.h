#pragma once

// Status codes of the whole system. 0 is success; every fallible function
// returns one of these (or, where it returns a count or a character, the
// negated code). The numbers are part of the interface: the tool's exit
// status is one of them.
enum Status : int {
  STATUS_OK = 0,
  STATUS_SYSTEM = 4,
  STATUS_NO_MEMORY = 5,
  STATUS_NOT_FOUND = 6,
  STATUS_BAD_FORMAT = 7,
  STATUS_UNSUPPORTED = 8,
  STATUS_MALFORMED = 9,
  STATUS_BAD_ARGUMENT = 13,
  STATUS_INVALID = 15,
  STATUS_NOT_IMPLEMENTED = 16,
  STATUS_EXISTS = 17,
  STATUS_LIMIT = 18,
  STATUS_NOT_DIRECTORY = 19,
  STATUS_ACCESS_DENIED = 22,
  STATUS_IO_ERROR = 23,
  STATUS_END_OF_STREAM = 25,
  STATUS_NOT_OPEN = 26,
  STATUS_NOT_SUPPORTED = 27,
  STATUS_BAD_VALUE = 28,
  STATUS_NO_CONVERTER = 29,
  STATUS_ALREADY_OPEN = 32,
  STATUS_TYPE_MISMATCH = 33,
  STATUS_CORRUPTED = 34,
  STATUS_HELP_SHOWN = 39,
  STATUS_IS_DIRECTORY = 42,
  STATUS_PATH_COMPONENT = 43,
  STATUS_READ_ONLY = 46,
  STATUS_SYNTAX = 55,
};
