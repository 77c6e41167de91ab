#pragma once
// The USB vendor and product ids in a device path, read as rules on plain
// text: the caller says which bytes start a double-byte character of the
// path's code page, so that these build and are fuzzed anywhere.
#include <cstddef>
#include <cstdint>

// Whether `byte` starts a double-byte character of the text's code page.
typedef bool (*LeadBytePredicate)(unsigned char byte);

// Value of one hexadecimal digit, or -1 for any other byte.
int HexDigitValue(char c);

// Value of the last run of hexadecimal digits in text (0 when there is none).
// Only the last eight digits count; the result wraps as a signed 32-bit value.
int HexStringToInt(const char* text);

// Length in bytes of the longest start of `text` that is at most `maxBytes`
// long and does not split a double-byte character.
size_t CharacterBoundaryLength(const char* text, size_t maxBytes, LeadBytePredicate isLeadByte);

// Reads the id that follows `key` in `path` (at most four bytes after it)
// into *id; leaves *id alone when the key does not occur. The path is walked
// by characters: the second byte of a double-byte character ("プ" is 0x83
// 0x76, a 'v') never starts the key, and never counts as a digit of the id.
void ReadIdAfter(const char* path, const char* key, LeadBytePredicate isLeadByte, uint16_t* id);
