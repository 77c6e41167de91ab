#include "devices/DevicePathIds.h"

#include <cstring>

namespace {

// Whether the byte at `text` starts a double-byte character whose second
// byte is there.
bool IsDoubleByteCharacter(const char* text, LeadBytePredicate isLeadByte)
{
    return isLeadByte(static_cast<unsigned char>(text[0])) && text[1] != '\0';
}

}  // namespace

int HexDigitValue(char c)
{
    // Compare as unsigned so bytes of 0x80 and above never look like digits.
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

int HexStringToInt(const char* text)
{
    if (!text || *text == '\0') return 0;
    uint32_t value = 0;
    int taken = 0;
    for (size_t i = strlen(text); i > 0; --i) {
        const int digit = HexDigitValue(text[i - 1]);
        if (digit < 0) {
            if (taken > 0) break;
            continue;
        }
        // Digits past the eighth would be multiplied by 16^8 or more, which
        // wraps to nothing in 32 bits.
        if (taken < 8) value += static_cast<uint32_t>(digit) << (4 * taken);
        ++taken;
    }
    return taken > 0 ? static_cast<int>(value) : 0;
}

size_t CharacterBoundaryLength(const char* text, size_t maxBytes, LeadBytePredicate isLeadByte)
{
    size_t length = 0;
    while (text[length] != '\0') {
        const size_t step = IsDoubleByteCharacter(text + length, isLeadByte) ? 2 : 1;
        if (length + step > maxBytes) break;
        length += step;
    }
    return length;
}

void ReadIdAfter(const char* path, const char* key, LeadBytePredicate isLeadByte, uint16_t* id)
{
    const size_t keyLength = strlen(key);
    const char* found = nullptr;
    for (const char* p = path; *p != '\0'; p += IsDoubleByteCharacter(p, isLeadByte) ? 2 : 1) {
        if (strncmp(p, key, keyLength) == 0) {
            found = p;
            break;
        }
    }
    if (!found) return;
    const char* digits = found + keyLength;
    char buffer[5] = {};
    for (size_t i = 0; i < 4 && digits[i] != '\0'; ++i) {
        if (IsDoubleByteCharacter(digits + i, isLeadByte)) {
            buffer[i] = ' ';
            if (i + 1 < 4) buffer[++i] = ' ';
        } else {
            buffer[i] = digits[i];
        }
    }
    *id = static_cast<uint16_t>(HexStringToInt(buffer));
}
