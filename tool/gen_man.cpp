// Writes the manual page to standard output (used by the build).
#include "tool/man_page.h"

int main() {
  write_man_page(stdout);
  return 0;
}
