// The command-line driver both programs share:
//   program INPUT OUTPUT
// It checks the arguments, runs the program's read stage on the open input,
// closes it, creates the output, runs the write stage on it, closes it and
// ends the process. Every failure ends through SortieProg.
#pragma once

#include <cstdio>
#include <functional>

#include "table.h"

using ReadStage = std::function<void(std::FILE *in)>;
using WriteStage = std::function<void(std::FILE *out)>;

[[noreturn]] void RunDriver(int argc, char **argv, const ReadStage &read, const WriteStage &write);

// ReadTable for the programs: a rejected (ragged) table or an input stream in
// error ends the process with ExitRead instead of reaching the engine.
TableData ReadTableOrExit(std::FILE *in);
