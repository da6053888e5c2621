// The one module that knows which operating system the programs run on.
// Everything else calls these functions and stays portable; a new
// system-specific need gets a function here, with its Linux and Windows
// forms side by side in platform.cpp. Functions that fail leave the
// system's error number in errno, for std::strerror.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// Asks the system to back a large block with large pages where it can: a
// block filled once (the table's cells) then costs a few hundred page faults
// instead of one per 4 KiB. Blocks under 8 MiB are left as they are. Only
// advice: nothing changes where the system has no such pages or declines,
// and the block's contents are untouched.
void AdviseLargePages(void *block, int64_t bytes);

// Sleeps while `word` holds `expected`, then returns; it may also return
// without a change, so callers check again. std::atomic's own wait can miss
// a wake-up where the C++ library has no system call to build it on (GCC
// 12 on Windows), so each platform's own call is used.
void WaitWhileEqual(std::atomic<uint64_t> &word, uint64_t expected);
// Wakes one thread sleeping in WaitWhileEqual on `word`, after the caller
// changed it.
void WakeOneWaiter(std::atomic<uint64_t> &word);

// File names are UTF-8 strings on every platform, of any length the system
// allows; on Windows this module turns them into the system's UTF-16 names
// (with the "\\?\" prefix for those beyond the classic 260 characters).

// Replaces argv by the program's arguments in UTF-8. On Windows, main
// receives them in the ANSI code page, which cannot spell every name, so
// they are taken again from the UTF-16 command line and split by the C
// runtime's rules (SplitCommandLine). Elsewhere argv is left as it is. The
// new strings live until the process ends.
void UseUtf8Arguments(int &argc, char **&argv);

// Splits a Windows command line into its arguments by the Microsoft C
// runtime's rules: blanks (space, tab) separate arguments; double quotes
// group, and a pair of them inside quotes is one literal quote; 2n
// backslashes before a quote give n backslashes, 2n+1 give n and a literal
// quote; other backslashes are literal. The program name (the first
// argument) ends at the next blank, or at the closing quote when it starts
// with one, and never takes backslash escapes. Works on UTF-8 text: the
// characters that matter are ASCII.
std::vector<std::string> SplitCommandLine(const std::string &line);

// std::fopen and std::remove for names of any length and any characters.
std::FILE *OpenFile(const std::string &name, const char *mode);
bool RemoveFile(const std::string &name);

// The last part of a name, after its last folder separator ("" when the name
// ends with one).
std::string FileNameOf(const std::string &path);

// What a name reaches, symbolic links followed. `Unreachable` when the
// system cannot tell (a name too long, a folder on the way that may not be
// searched); errno then says why.
enum class PathKind { Missing, Regular, Folder, Other, Unreachable };
PathKind KindOfPath(const std::string &path);

// True when both names reach one existing file, by whatever path: symbolic
// links, other spellings, hard links. False when either does not exist.
bool SameFile(const std::string &first, const std::string &second);

// The name a symbolic link finally points to, relative links taken from the
// link's folder; the name itself when it is not a link. The target need not
// exist. Gives up (returning the name reached so far) after 40 links. On
// Windows an existing link is resolved by the system, to an absolute name.
std::string ResolveLinks(const std::string &path);

// True when the existing file may be opened for writing. Nothing is changed:
// the file is opened without truncation and closed.
bool CanWriteFile(const std::string &path);

// Creates a new file, empty and open for writing, in the folder of `beside`
// (the current folder when the name holds no folder), named after it with a
// short unique ending (".NAME.dendro-XXXXXX", NAME cut to 64 bytes). When `beside` exists the new file takes
// its permissions (and, where allowed, its owner), otherwise those a new
// file gets; on Windows it takes the folder's, as every new file there does. Returns null, leaving nothing behind, when the folder cannot
// hold it. `name` is set to the new file's name as soon as the file exists,
// before anything that may fail, and cleared again if it is removed.
std::FILE *CreateFileBeside(const std::string &beside, std::string &name);

// A stream that keeps what is written to it, for an output that must be
// whole before its file is touched: in memory (on Windows, a file of the
// system's temporary folder, deleted when closed). One at a time. Null, with
// errno, when none can be made.
std::FILE *OpenHeldStream();
// Writes all that the held stream holds to `to`. False when a write fails.
bool CopyHeldStream(std::FILE *held, std::FILE *to);
// Closes the held stream and releases what it holds.
void CloseHeldStream(std::FILE *held);

// True when the open stream reads or writes a regular file that `path`
// reaches too (standard input redirected from the output file).
bool IsFileOfStream(std::FILE *stream, const std::string &path);

// Writes the stream's buffers and asks the system to put the file's data on
// the disk, so that a file renamed over another one is never found empty
// after a crash. False when a write fails.
bool FlushToDisk(std::FILE *stream);

// Gives the file `from` the name `to` in one step, replacing any file of that
// name: a reader sees the old file or the new one, never a mix.
bool ReplaceFile(const std::string &from, const std::string &to);

// Until ForgetOnInterrupt, an interrupt or termination signal removes the
// file `path` before the process ends as the signal would have ended it. One
// file at a time; the name is copied.
void RemoveOnInterrupt(const std::string &path);
void ForgetOnInterrupt();
