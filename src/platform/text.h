// UTF-16 text helpers: conversion to and from UTF-8, case folding as the
// system's case-insensitive comparisons do it, and small formatters.
#pragma once
#include <string>
#include <string_view>

#include "platform/types.h"

namespace rv {

Text FromUtf8(std::string_view s);
// Unpaired surrogates become U+FFFD: the result is always valid UTF-8.
std::string ToUtf8(TextView s);
// The same, appended to `out`.
void AppendUtf8(std::string& out, TextView s);
// The UTF-8 bytes of the code point at s[i], written at `out` (room for 4);
// `i` moves past the second unit of a surrogate pair. Returns the end.
char* PutUtf8(TextView s, size_t& i, char* out);

char16_t UpcaseChar(char16_t c);
Text Upcase(TextView s);
// CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, ...) == CSTR_EQUAL
bool EqualsIgnoreCase(TextView a, TextView b);

// Length of a NUL-terminated UTF-16 text inside at most `cap` units.
size_t BoundedLength(const char16_t* s, size_t cap);
// Copy into a fixed buffer of `cap` units, always NUL-terminated, truncating.
void CopyToBuffer(char16_t* dst, size_t cap, TextView src);

Text DecimalText(uint64_t v);
// Two-digit (or n-digit) zero-padded decimal.
Text PaddedDecimal(uint64_t v, int width);

}  // namespace rv
