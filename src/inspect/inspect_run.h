// The velmora-inspect program: its command line and the whole run.
#pragma once

// The whole run; returns the exit status.
int run_inspect(int argc, char* const argv[]);
