// The HTTP date against the C library's calendar, and the validator an
// If-Range may carry against the rules it must keep. The first byte gives
// the state of each header; the lines after it are ETag, Last-Modified and
// Date.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "download/HeaderRules.h"

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

// What the C library's calendar makes of `seconds`, written as the date
// must be.
std::string LibraryDate(int64_t seconds, const std::string& dayName)
{
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t time = static_cast<time_t>(seconds);
    tm fields{};
    if (!gmtime_r(&time, &fields)) return "";
    char text[64];
    std::snprintf(text, sizeof text, ", %02d %s %04d %02d:%02d:%02d GMT", fields.tm_mday, MONTHS[fields.tm_mon],
                  fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return dayName + text;
}

// An accepted date is the one the C library gives for the same seconds
// (the day's name is not checked against the date).
void CheckDate(const std::string& text)
{
    int64_t seconds = 0;
    if (!ParseHttpDate(text.data(), text.size(), &seconds)) return;
    const bool bLeapSecond = text.compare(23, 2, "60") == 0;
    std::string expected = LibraryDate(bLeapSecond ? seconds - 1 : seconds, text.substr(0, 3));
    if (bLeapSecond) expected.replace(23, 2, "60");
    Check(expected == text);
}

bool IsVisibleText(const char* text)
{
    for (const char* p = text; *p; ++p)
        if (*p < 0x20 || *p > 0x7E) return false;
    return true;
}

HeaderField Field(unsigned state, const std::string& text)
{
    HeaderField field;
    field.state = state == 0 ? HeaderField::ABSENT : state == 1 ? HeaderField::UNREADABLE : HeaderField::READ;
    if (field.state == HeaderField::READ) {
        field.text = text.data();
        field.length = text.size();
    }
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const unsigned states = data[0];
    std::string lines[3];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (size_t i = 0, start = 0; i < 3 && start <= rest.size(); ++i) {
        size_t end = i < 2 ? rest.find('\n', start) : std::string::npos;
        if (end == std::string::npos) end = rest.size();
        lines[i] = rest.substr(start, end - start);
        start = end + 1;
    }
    for (const std::string& line : lines) CheckDate(line);

    // Every date the C library writes from these bytes is read back.
    if (size >= 9) {
        int64_t raw = 0;
        std::memcpy(&raw, data + 1, sizeof raw);
        // Years 0 to 9999, all that four digits hold.
        const int64_t from = -62167219200LL, span = 253402300800LL - from;
        const int64_t seconds = from + static_cast<int64_t>(static_cast<uint64_t>(raw) % static_cast<uint64_t>(span));
        const std::string text = LibraryDate(seconds, "Sun");
        int64_t read = 0;
        Check(ParseHttpDate(text.data(), text.size(), &read) && read == seconds);
    }

    const HeaderField etag = Field(states & 3, lines[0]);
    const HeaderField lastModified = Field((states >> 2) & 3, lines[1]);
    const HeaderField date = Field((states >> 4) & 3, lines[2]);
    const RangeValidator chosen = ChooseRangeValidator(etag, lastModified, date);
    Check(IsVisibleText(chosen.text));
    int64_t modified = 0, answered = 0;
    switch (chosen.kind) {
        case RangeValidator::ENTITY_TAG:
            Check(etag.state == HeaderField::READ && lines[0] == chosen.text && lines[0].size() >= 2 &&
                  lines[0].front() == '"' && lines[0].back() == '"' &&
                  lines[0].find_first_of(" \"", 1) == lines[0].size() - 1);
            Check(KeepsValidator(chosen, etag, lastModified) && !KeepsValidator(chosen, HeaderField(), lastModified));
            break;
        case RangeValidator::DATE:
            Check(etag.state == HeaderField::ABSENT && lines[1] == chosen.text && date.state == HeaderField::READ);
            Check(ParseHttpDate(lines[1].data(), lines[1].size(), &modified) &&
                  ParseHttpDate(lines[2].data(), lines[2].size(), &answered) && answered >= modified + 1);
            Check(KeepsValidator(chosen, etag, lastModified) && KeepsValidator(chosen, etag, HeaderField()));
            break;
        case RangeValidator::NONE:
            Check(chosen.text[0] == '\0' && !KeepsValidator(chosen, etag, lastModified));
            // A strong ETag alone is always usable.
            Check(!(etag.state == HeaderField::READ && IsStrongEntityTag(lines[0].data(), lines[0].size()) &&
                    lines[0].size() <= RangeValidator::MAX_LENGTH));
            break;
    }
    return 0;
}
