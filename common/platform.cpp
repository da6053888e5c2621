#include "platform.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool IsTerminal(std::FILE *stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void SetBinaryMode(std::FILE *stream) {
#if defined(_WIN32)
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

void UseBinaryStandardStreams() {
    SetBinaryMode(stdin);
    SetBinaryMode(stdout);
    SetBinaryMode(stderr);
}

void WaitWhileEqual(std::atomic<uint64_t> &word, uint64_t expected) {
#if defined(_WIN32)
    static_assert(sizeof(word) == sizeof(uint64_t));
    WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
#else
    word.wait(expected, std::memory_order_acquire);
#endif
}

void WakeOneWaiter(std::atomic<uint64_t> &word) {
#if defined(_WIN32)
    WakeByAddressSingle(&word);
#else
    word.notify_one();
#endif
}
