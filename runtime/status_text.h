#pragma once

// A few words in English on what a status code means, for the line that
// follows an error message ("no such file or directory" for 6). Never null;
// an unknown code gives "error".
const char* status_text(int status);
