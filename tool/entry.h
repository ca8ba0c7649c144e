#pragma once

// The program: builds the run configuration from the command line (and the
// configuration file it names), prepares the DSP table, processes every
// group inside the DSP floating-point mode and returns the exit status:
// 0 on success and after --help, otherwise the status of the first failure.
int tool_main(int argc, char** argv);
