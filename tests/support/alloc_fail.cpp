#include "tests/support/alloc_fail.h"

namespace testing_support {
uint64_t g_failures_at_start = 0;
}
