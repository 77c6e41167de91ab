// The decimal count, the Content-Length lines and the Content-Range against
// references written with string comparison instead of arithmetic.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "download/HeaderRules.h"

namespace {

// Digits only, and not above 2^31 - 1 compared as text once leading zeros
// are gone.
bool ReferenceCount(const std::string& text, int32_t* count)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const size_t first = text.find_first_not_of('0');
    const std::string digits = first == std::string::npos ? "0" : text.substr(first);
    if (digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")) return false;
    *count = static_cast<int32_t>(std::stoll(digits));
    return true;
}

bool ReferenceRange(const std::string& text, ContentRange* range)
{
    if (text.size() < 6) return false;
    std::string unit = text.substr(0, 6);
    for (char& c : unit) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (unit != "bytes ") return false;
    const size_t dash = text.find('-', 6);
    const size_t slash = dash == std::string::npos ? dash : text.find('/', dash);
    if (slash == std::string::npos) return false;
    return ReferenceCount(text.substr(6, dash - 6), &range->first) &&
           ReferenceCount(text.substr(dash + 1, slash - dash - 1), &range->last) &&
           ReferenceCount(text.substr(slash + 1), &range->total) && range->first <= range->last &&
           range->last < range->total;
}

void Check(bool condition)
{
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    int32_t count = -1, expected = -1;
    const bool bCount = ParseDecimalCount(input.data(), input.size(), &count);
    Check(bCount == ReferenceCount(input, &expected) && (!bCount || count == expected));

    // Each line a Content-Length line of one answer: taken while every one is
    // a positive count equal to the first.
    ContentLengthLines lines;
    int32_t firstValue = 0;
    bool bRefused = false;
    for (size_t start = 0; start <= input.size() && !bRefused;) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(start, end - start);
        int32_t value = 0;
        const bool bUsable = ReferenceCount(line, &value) && value != 0 && (!lines.bFound || value == firstValue);
        if (!lines.bFound) firstValue = value;
        const bool bTaken = lines.Take(line.data(), line.size());
        Check(bTaken == bUsable && (!bTaken || lines.length == firstValue));
        bRefused = !bTaken;
        start = end + 1;
    }

    ContentRange range, reference;
    const bool bRange = ParseContentRange(input.data(), input.size(), &range);
    Check(bRange == ReferenceRange(input, &reference));
    if (bRange) {
        Check(range.first == reference.first && range.last == reference.last && range.total == reference.total);
        Check(IsRestOfBody(range, range.total - range.first, range.first, range.total) ==
              (range.last == range.total - 1));
        Check(range.first == 0 || !IsRestOfBody(range, range.total - range.first, range.first - 1, range.total));
    }
    return 0;
}
