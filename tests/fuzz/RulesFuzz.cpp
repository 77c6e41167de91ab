// The header and device-path rules under the sanitizers: the count against
// a reference that compares text, dates against the C library, and the
// If-Range validator against the rules it must keep. The first byte picks the rule and the header states.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "devices/DevicePathIds.h"
#include "download/HeaderRules.h"

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

bool ReferenceCount(const std::string& text, int32_t* count)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
    if (digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")) return false;
    *count = static_cast<int32_t>(std::stoll(digits));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string line[3];
    for (size_t i = 0, start = 0; i < 3 && start <= input.size(); start += line[i++].size() + 1)
        line[i] = input.substr(start, input.find('\n', start) - start);
    int32_t value = 0, expected = 0;
    int64_t modified = 0, answered = 0;
    if (data[0] % 3 == 0) {  // a count; two Content-Length lines; a Content-Range
        const bool bCount = ParseDecimalCount(input.data(), input.size(), &value);
        Check(bCount == ReferenceCount(input, &expected) && (!bCount || value == expected));
        ContentLengthLines lines;
        for (int i = 0, bUsable = 1; i < 2 && bUsable; ++i) {
            bUsable = ReferenceCount(line[i], &value) && value && (i == 0 || value == lines.length);
            Check(lines.Take(line[i].data(), line[i].size()) == static_cast<bool>(bUsable));
        }
        ContentRange range;
        if (ParseContentRange(input.data(), input.size(), &range))
            Check(range.first <= range.last && range.last < range.total);
    } else if (data[0] % 3 == 1) {  // an ETag, Last-Modified and Date, each absent, unreadable or read
        HeaderField field[3];
        for (int i = 0, states = data[0] / 3; i < 3; ++i, states /= 3)
            field[i] = {static_cast<HeaderField::State>(states % 3), line[i].data(), line[i].size()};
        for (const std::string& text : line) {  // an accepted date is the C library's reading too
            tm t{};
            if (ParseHttpDate(text.data(), text.size(), &modified) && text.compare(23, 2, "60") != 0)
                Check(strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t) && timegm(&t) == modified &&
                      t.tm_mday == std::stoi(text.substr(5, 2)));  // timegm moves a day that does not exist
        }
        const RangeValidator chosen = ChooseRangeValidator(field[0], field[1], field[2]);
        for (const char* p = chosen.text; *p; ++p) Check(*p >= 0x20 && *p <= 0x7E);
        Check(chosen.kind != RangeValidator::ENTITY_TAG ||
              (line[0] == chosen.text && line[0][0] == '"' && line[0].find_first_of(" \"", 1) == line[0].size() - 1));
        Check(chosen.kind != RangeValidator::DATE ||
              (field[0].state == HeaderField::ABSENT && line[1] == chosen.text &&
               ParseHttpDate(line[1].data(), line[1].size(), &modified) &&
               ParseHttpDate(line[2].data(), line[2].size(), &answered) && answered > modified));
        Check(KeepsValidator(chosen, field[0], field[1]) == (chosen.kind != RangeValidator::NONE));
    } else {  // device ids under code page 932: nothing read past the path, no character cut
        auto isLeadByte = [](unsigned char byte) {
            return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        };
        const std::string path = input.c_str();
        uint16_t id = 0;
        ReadIdAfter(path.c_str(), "vid_", isLeadByte, &id);
        const size_t cut = CharacterBoundaryLength(path.c_str(), data[0] / 3, isLeadByte);
        size_t at = 0;
        while (at < cut) at += isLeadByte(static_cast<unsigned char>(path[at])) && at + 1 < path.size() ? 2 : 1;
        Check(at == cut && (path.find("vid_") != std::string::npos || id == 0));
    }
    return 0;
}
