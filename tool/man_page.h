#pragma once

#include <cstdio>

// Writes the manual page timbral.1 (roff) to `out`: every setting of the
// settings table with its value, allowed values, default and configuration
// key, then the configuration file, templates, exit statuses and examples.
void write_man_page(FILE* out);
