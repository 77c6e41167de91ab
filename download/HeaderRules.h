#pragma once
// What the headers of an HTTP answer say about the installer's body, as
// rules on plain text. HttpSession.cpp reads the headers through WinInet and
// hands their text here, so that these rules build and are fuzzed anywhere.
#include <cstddef>
#include <cstdint>

// A decimal count from 0 to 2^31 - 1: one digit or more and nothing else,
// no sign and no space (WinInet's own number parsing accepts trailing text
// on some systems).
bool ParseDecimalCount(const char* text, size_t length, int32_t* count);

// The Content-Length lines of one answer, taken one by one. Two that differ
// leave the body's end unknown, and an intermediary may heed the other.
struct ContentLengthLines {
    // False, for the whole answer, when the line is not a positive count or
    // differs from those before it.
    bool Take(const char* text, size_t length);

    bool bFound = false;
    int32_t length = 0;
};

// The range of a 206 answer: "bytes FIRST-LAST/TOTAL".
struct ContentRange {
    int32_t first = 0;
    int32_t last = 0;
    int32_t total = 0;
};

// False unless FIRST <= LAST < TOTAL; the unit is matched without regard
// to case.
bool ParseContentRange(const char* text, size_t length, ContentRange* range);

// Whether a 206 answer of `contentLength` bytes holds exactly the rest of a
// body of `announced` bytes after the `received` first ones.
bool IsRestOfBody(const ContentRange& range, int32_t contentLength, int32_t received, int32_t announced);

// One header of an answer as it was read.
struct HeaderField {
    enum State { ABSENT, UNREADABLE, READ };
    State state = ABSENT;
    const char* text = nullptr;  // when READ
    size_t length = 0;
};

// "Sun, 06 Nov 1994 08:49:37 GMT" (IMF-fixdate), as seconds since 1970.
bool ParseHttpDate(const char* text, size_t length, int64_t* seconds);

// A strong entity tag of visible ASCII only: "..." without W/.
bool IsStrongEntityTag(const char* text, size_t length);

// What a request for the rest of a body may name in If-Range, so that a
// server sends the rest only of the same body.
struct RangeValidator {
    static constexpr size_t MAX_LENGTH = 255;
    enum Kind { NONE, ENTITY_TAG, DATE };
    Kind kind = NONE;
    char text[MAX_LENGTH + 1] = {};  // the If-Range value, visible ASCII and spaces only
};

// The validator of an answer's body, from its ETag, Last-Modified and Date.
RangeValidator ChooseRangeValidator(const HeaderField& etag, const HeaderField& lastModified, const HeaderField& date);

// Whether a 206 answer to an If-Range naming `sent` says it is of that same
// body: an ETag sent must come back the same; a date sent must not come
// back different.
bool KeepsValidator(const RangeValidator& sent, const HeaderField& etag, const HeaderField& lastModified);
