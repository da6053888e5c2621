// The numeric token rule the text readers share: how the bytes between
// separators become pieces and the pieces values.
#pragma once

#include <cstdint>

#include "input/stream_bytes.h"

// A token is cut into pieces of at most this many characters, each converted
// on its own.
inline constexpr int TOKEN_MAX_LENGTH = 100;

// Token buffer: TOKEN_MAX_LENGTH characters, plus room for the terminator.
inline constexpr int TOKEN_BUFFER_BYTES = TOKEN_MAX_LENGTH + 1;

// Classes of the readers' separators, one bit each, for every byte value.
enum SeparatorClass : unsigned {
    ItemSeparatorClass = 1,   // tab, space, ';'
    LineSeparatorClass = 2,   // line feed, carriage return
    WhiteSeparatorClass = 4,  // tab, line feed, carriage return, space
};
// The classes of a byte, from its low 8 bits (EOF has none, as 0xFF).
inline unsigned SeparatorClasses(int c) {
    static constexpr auto table = [] {
        struct {
            unsigned char of[256] = {};
        } t;
        t.of[static_cast<unsigned char>('\t')] = ItemSeparatorClass | WhiteSeparatorClass;
        t.of[static_cast<unsigned char>(' ')] = ItemSeparatorClass | WhiteSeparatorClass;
        t.of[static_cast<unsigned char>(';')] = ItemSeparatorClass;
        t.of[static_cast<unsigned char>('\n')] = LineSeparatorClass | WhiteSeparatorClass;
        t.of[static_cast<unsigned char>('\r')] = LineSeparatorClass | WhiteSeparatorClass;
        return t;
    }();
    return table.of[c & 0xFF];
}

// Reads one piece of a token by the numeric token rule. `current` holds the
// character last taken from `in` (or EOF) and is left on the first character
// not taken. Characters are appended while they are not EOF, not of the
// classes in `separators` and the piece is shorter than TOKEN_MAX_LENGTH; a
// comma is stored as a point. Returns 1 and sets *value when the piece
// converts with "%f", 0 otherwise. `buffer` holds TOKEN_BUFFER_BYTES bytes.
// When `notes` is given, it says whether the piece held a comma and whether
// it yielded its value from its first characters only.
struct PieceNotes {
    bool comma = false;
    bool partial = false;
    bool split = false;  // a whole piece of TOKEN_MAX_LENGTH characters, the token going on
};
int ReadNumericPiece(StreamBytes &in, int &current, char *buffer, unsigned separators, float *value,
                     PieceNotes *notes = nullptr);

// The value of a piece of `length` characters (commas already points, a
// space appended to a piece below TOKEN_MAX_LENGTH characters, so that a
// piece of 99 takes 100 with it; `text[length]` a NUL) as sscanf
// "%f" reads it: returns 1 and sets *value, or 0 when it yields none. When
// `partial` is given, it is set when the value came from the piece's first
// characters only (12abc, 2021-03-04).
int ConvertPiece(const char *text, int length, float *value, bool *partial = nullptr);
