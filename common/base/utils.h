// Process exit reporting, checked allocation and the character classes of
// the text readers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

// Exit codes. Codes 0..5 print their message on standard output and end the
// process with status -1; ExitNormal (and any other value) ends with status 0
// and prints nothing.
enum ExitCode : int32_t {
    ExitArguments = 0,
    ExitInit = 1,
    ExitRead = 2,
    ExitWrite = 3,
    ExitMemory = 4,
    ExitInternal = 5,
    ExitNormal = 6,
};

// Ends the process with the code's message and status. Never returns.
// A failing code also writes a reason on standard error, after the message:
// the one given to ExitWithReason, or a general one for the code.
[[noreturn]] void SortieProg(int32_t code);
// SortieProg with the reason for the failure, one line of English written on
// standard error as "program: reason".
[[noreturn]] void ExitWithReason(int32_t code, const std::string &reason);

// The name put before every reason ("dendro-min: ..."); "dendro" until set.
void SetProgramName(const char *name);
const char *ProgramName();
// Exit messages go to standard output unless the merge lines are written
// there: then they go to standard error, so as not to land among them.
void SendExitMessagesToStandardError();
// Called once by a failing SortieProg before anything is printed: removes an
// unfinished output, clears a progress line.
void SetFailureCleanup(void (*cleanup)());

// Largest block the system allocates: byte sizes are 32-bit signed counts.
inline constexpr int64_t MAX_BLOCK_BYTES = 2147483647;

// Checked allocation. Sizes are byte counts computed in 64 bits by the
// callers; a negative size, one above MAX_BLOCK_BYTES or an allocator failure
// ends the process with ExitMemory, so a null block is never returned.
// A size of 0 gives a valid empty block.
void *monmalloc(int64_t size);
// Resizes a block from monmalloc/monrealloc, keeping its contents up to the
// smaller size. A size of 0 releases the block and ends with ExitMemory.
void *monrealloc(void *block, int64_t size);

// Character classes of the readers. Each looks at the low 8 bits of c only
// (c holds a byte as getc returns it, or sign-extended) and returns 1 or 0.
int IsSeparator(int c);      // tab, line feed, carriage return, space
int IsItemSeparator(int c);  // tab, space, ';'
int IsLineSeparator(int c);  // line feed, carriage return

// An array from monmalloc, released when it goes out of scope. Allocation
// failure ends the process with ExitMemory like every other allocation.
template <class T>
class Block {
public:
    explicit Block(int64_t count) : data_(static_cast<T *>(monmalloc(count * static_cast<int64_t>(sizeof(T))))) {}
    ~Block() { std::free(data_); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    T *get() const { return data_; }
    T &operator[](int64_t k) const { return data_[k]; }

private:
    T *data_;
};
