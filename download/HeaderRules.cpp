#include "download/HeaderRules.h"

#include <cstring>

namespace {

constexpr int32_t MAX_COUNT = 0x7FFFFFFF;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Two digits at `text` as a number.
int TwoDigits(const char* text)
{
    return (text[0] - '0') * 10 + (text[1] - '0');
}

bool Matches(const char* text, size_t length, const char* expected)
{
    return std::strlen(expected) == length && std::memcmp(text, expected, length) == 0;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysSinceEpoch(int year, int month, int day)
{
    // Counted from 1 March, so that the leap day ends a year.
    const int shifted = month <= 2 ? year - 1 : year;
    const int era = (shifted >= 0 ? shifted : shifted - 399) / 400;
    const int yearOfEra = shifted - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<int64_t>(era) * 146097 + dayOfEra - 719468;
}

}  // namespace

bool ParseDecimalCount(const char* text, size_t length, int32_t* count)
{
    if (length == 0) return false;
    int64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!IsDigit(text[i])) return false;
        value = value * 10 + (text[i] - '0');
        if (value > MAX_COUNT) return false;
    }
    *count = static_cast<int32_t>(value);
    return true;
}

bool ContentLengthLines::Take(const char* text, size_t lineLength)
{
    int32_t value = 0;
    if (!ParseDecimalCount(text, lineLength, &value) || value == 0) return false;
    if (bFound && value != length) return false;
    length = value;
    bFound = true;
    return true;
}

bool ParseContentRange(const char* text, size_t length, ContentRange* range)
{
    static const char UNIT[] = "bytes ";
    const size_t unitLength = sizeof UNIT - 1;
    if (length < unitLength) return false;
    for (size_t i = 0; i < unitLength; ++i) {
        const char lower = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (lower != UNIT[i]) return false;
    }
    const char* start = text + unitLength;
    const char* end = text + length;
    const char* dash = static_cast<const char*>(std::memchr(start, '-', static_cast<size_t>(end - start)));
    if (!dash) return false;
    const char* slash = static_cast<const char*>(std::memchr(dash, '/', static_cast<size_t>(end - dash)));
    if (!slash) return false;
    ContentRange parsed;
    if (!ParseDecimalCount(start, static_cast<size_t>(dash - start), &parsed.first) ||
        !ParseDecimalCount(dash + 1, static_cast<size_t>(slash - dash - 1), &parsed.last) ||
        !ParseDecimalCount(slash + 1, static_cast<size_t>(end - slash - 1), &parsed.total) ||
        parsed.first > parsed.last || parsed.last >= parsed.total)
        return false;
    *range = parsed;
    return true;
}

bool IsRestOfBody(const ContentRange& range, int32_t contentLength, int32_t received, int32_t announced)
{
    return range.first == received && range.last == range.total - 1 && range.total == announced &&
           contentLength == range.total - range.first;
}

bool ParseHttpDate(const char* text, size_t length, int64_t* seconds)
{
    static const char* const DAY_NAMES[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const int MONTH_DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // The obsolete forms that a recipient also reads are never sent, and a
    // date read here may be sent back: only the one form counts.
    static const char SHAPE[] = "Ddd, 00 Mmm 0000 00:00:00 GMT";
    if (length != sizeof SHAPE - 1) return false;
    for (size_t i = 0; i < length; ++i) {
        if (SHAPE[i] == '0' ? !IsDigit(text[i]) : (SHAPE[i] < 'A' && text[i] != SHAPE[i])) return false;
    }
    if (!Matches(text + 26, 3, "GMT")) return false;
    bool bDayName = false;
    for (const char* name : DAY_NAMES) bDayName = bDayName || Matches(text, 3, name);
    int month = 0;
    for (int i = 0; i < 12 && !month; ++i)
        if (Matches(text + 8, 3, MONTH_NAMES[i])) month = i + 1;
    if (!bDayName || !month) return false;

    const int day = TwoDigits(text + 5);
    const int year = TwoDigits(text + 12) * 100 + TwoDigits(text + 14);
    const int hour = TwoDigits(text + 17), minute = TwoDigits(text + 20), second = TwoDigits(text + 23);
    const int monthDays = MONTH_DAYS[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    // Second 60 is a leap second.
    if (day < 1 || day > monthDays || hour > 23 || minute > 59 || second > 60) return false;
    *seconds = DaysSinceEpoch(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool IsStrongEntityTag(const char* text, size_t length)
{
    if (length < 2 || text[0] != '"' || text[length - 1] != '"') return false;
    for (size_t i = 1; i + 1 < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x21 || c == '"' || c > 0x7E) return false;
    }
    return true;
}

// Only a strong validator may join two parts into one body. An ETag, even a
// weak one, rules out a date; a date is strong only when the answer is dated
// at least a second after it. Without one, nothing tells that a later range
// is of the same body, so a dropped body is fetched again from its start.
RangeValidator ChooseRangeValidator(const HeaderField& etag, const HeaderField& lastModified, const HeaderField& date)
{
    RangeValidator validator;
    const char* chosen = nullptr;
    size_t length = 0;
    if (etag.state != HeaderField::ABSENT) {
        if (etag.state == HeaderField::READ && IsStrongEntityTag(etag.text, etag.length)) {
            validator.kind = RangeValidator::ENTITY_TAG;
            chosen = etag.text;
            length = etag.length;
        }
    } else if (lastModified.state == HeaderField::READ && date.state == HeaderField::READ) {
        int64_t modified = 0, answered = 0;
        if (ParseHttpDate(lastModified.text, lastModified.length, &modified) &&
            ParseHttpDate(date.text, date.length, &answered) && answered - modified >= 1) {
            validator.kind = RangeValidator::DATE;
            chosen = lastModified.text;
            length = lastModified.length;
        }
    }
    if (!chosen || length > RangeValidator::MAX_LENGTH) return RangeValidator();
    std::memcpy(validator.text, chosen, length);
    validator.text[length] = '\0';
    return validator;
}

// A 206 that answers an If-Range must carry the ETag that a 200 would; it
// need not repeat Last-Modified.
bool KeepsValidator(const RangeValidator& sent, const HeaderField& etag, const HeaderField& lastModified)
{
    const size_t sentLength = std::strlen(sent.text);
    switch (sent.kind) {
        case RangeValidator::ENTITY_TAG:
            return etag.state == HeaderField::READ && etag.length == sentLength &&
                   std::memcmp(etag.text, sent.text, sentLength) == 0;
        case RangeValidator::DATE:
            return lastModified.state == HeaderField::ABSENT ||
                   (lastModified.state == HeaderField::READ && lastModified.length == sentLength &&
                    std::memcmp(lastModified.text, sent.text, sentLength) == 0);
        case RangeValidator::NONE:
            break;
    }
    return false;
}
