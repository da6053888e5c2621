// The output of a run, made so that a failure never costs the file it would
// replace. A regular file (or a new one) is written to a temporary file in
// the folder of the file it replaces, the folder of a symbolic link's target
// for a link, and renamed over it only once complete; any failure on the way
// removes the temporary file and leaves the old one as it was. "-" is the
// standard output; devices and pipes are written directly. An existing file
// in a folder that cannot hold a temporary file is written in place, but
// only once the whole output is complete (held until then, in memory), with
// a note on standard error.
//
// One output per process: a failure anywhere (SortieProg) reaches it through
// the failure cleanup.
#pragma once

#include <cstdio>
#include <string>

// Opens the output named on the command line. Ends with ExitWrite and the
// reason when it cannot be written.
std::FILE *OpenOutput(const std::string &name);
// Completes the output: flushes it, checks every write and puts the new file
// in place. Ends with ExitWrite and the reason on any failure.
void FinishOutput();
// For a program that reports failures its own way: `fail` gets the reason
// instead of ExitWithReason, once the unfinished output is abandoned, and
// must end the process; the note of writing in place begins with `note`.
void ReportOutputFailures(void (*fail)(const std::string &reason), const std::string &note);
// Removes an unfinished temporary file (nothing else is touched); called on
// any failure. Safe to call when no output is open.
void AbandonOutput();
