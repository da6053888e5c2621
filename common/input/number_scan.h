// The numbers the text readers take: what the "%f" conversion of the C
// library of Linux (glibc) reads, decided here in the project's own code so
// that every platform takes the same spellings and gives the same values.
#pragma once

// Reads the number at the start of `text` (a NUL-terminated string) the way
// sscanf(text, "%f", value) does with glibc, and returns whether it did;
// whatever follows the number is ignored. Taken, after any leading white
// space and an optional sign:
// - decimal numbers: digits with an optional point (at least one digit),
//   then an exponent (e, optional sign, digits) when it has digits;
// - hexadecimal numbers: 0x or 0X, hexadecimal digits with an optional
//   point (at least one digit), then a binary exponent (p, optional sign,
//   decimal digits) when it has digits; 0x followed by a point alone reads
//   as 0;
// - inf and infinity, nan (any case); a NaN keeps its sign and no payload.
// Out-of-range values become infinities or round to a subnormal or zero.
// Not taken (as with glibc, which reads such text as far as it fits one of
// the words and then cannot go back): a spelling that stops inside "nan" or
// "infinity" after "inf" ("infin"), and 0x with no digit nor point after it.
// `read`, when given, is set to the count of characters the conversion
// reads (as "%n" after "%f" counts them): the leading white space and the
// whole spelling, an exponent mark and sign without digits included.
bool ScanNumber(const char *text, float *value, int *read = nullptr);
