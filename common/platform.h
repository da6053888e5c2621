// The one module that knows which operating system the programs run on.
// Everything else calls these functions and stays portable; a new
// system-specific need gets a function here, with its Linux and Windows
// forms side by side in platform.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#if !defined(_WIN32)
#include <stdio.h>  // getc_unlocked
#endif

// getc without taking the stream's lock: each stream is read by one thread.
inline int GetcUnlocked(std::FILE *stream) {
#if defined(_WIN32)
    return _getc_nolock(stream);
#else
    return getc_unlocked(stream);
#endif
}

// True when the stream is attached to a terminal (progress is shown only
// there).
bool IsTerminal(std::FILE *stream);

// Puts a standard stream (stdin, stdout) in binary mode, so that the bytes
// written and read are the same on every platform. Does nothing where text
// and binary streams are the same.
void SetBinaryMode(std::FILE *stream);

// Standard input, output and error in binary mode: what the programs print
// is the same bytes on every platform (line feeds alone).
void UseBinaryStandardStreams();

// Sleeps while `word` holds `expected`, then returns; it may also return
// without a change, so callers check again. std::atomic's own wait can miss
// a wake-up where the C++ library has no system call to build it on (GCC
// 12 on Windows), so each platform's own call is used.
void WaitWhileEqual(std::atomic<uint64_t> &word, uint64_t expected);
// Wakes one thread sleeping in WaitWhileEqual on `word`, after the caller
// changed it.
void WakeOneWaiter(std::atomic<uint64_t> &word);
