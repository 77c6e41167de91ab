// The device-path id reading under code page 932, and against references
// written with the string class for paths without double-byte characters.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "devices/DevicePathIds.h"

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

bool IsCodePage932LeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsNeverLeadByte(unsigned char)
{
    return false;
}

const char HEX_DIGITS[] = "0123456789abcdefABCDEF";

// The last run of hexadecimal digits, its last eight taken.
int ReferenceHex(const std::string& text)
{
    const size_t end = text.find_last_of(HEX_DIGITS);
    if (end == std::string::npos) return 0;
    const size_t before = text.find_last_not_of(HEX_DIGITS, end);
    const size_t start = before == std::string::npos ? 0 : before + 1;
    std::string run = text.substr(start, end + 1 - start);
    if (run.size() > 8) run = run.substr(run.size() - 8);
    return static_cast<int>(static_cast<uint32_t>(std::stoul(run, nullptr, 16)));
}

// The id after the first `key`, read from the four bytes after it.
void ReferenceId(const std::string& path, const char* key, uint16_t* id)
{
    const size_t found = path.find(key);
    if (found != std::string::npos) *id = static_cast<uint16_t>(ReferenceHex(path.substr(found + 4, 4)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    // The first byte gives a length limit; the rest is the path as the
    // program holds it, up to its first zero byte.
    const size_t limit = data[0];
    const std::string path = std::string(reinterpret_cast<const char*>(data) + 1, size - 1).c_str();

    uint16_t vendor = 0x1234, product = 0x5678;
    ReadIdAfter(path.c_str(), "vid_", IsCodePage932LeadByte, &vendor);
    ReadIdAfter(path.c_str(), "pid_", IsCodePage932LeadByte, &product);

    // A cut never splits a character: walking by characters lands on it.
    const size_t cut = CharacterBoundaryLength(path.c_str(), limit, IsCodePage932LeadByte);
    Check(cut <= limit && cut <= path.size());
    size_t at = 0;
    while (at < cut) at += IsCodePage932LeadByte(static_cast<unsigned char>(path[at])) && at + 1 < path.size() ? 2 : 1;
    Check(at == cut);

    // Where no byte is a lead byte, the references agree.
    Check(HexStringToInt(path.c_str()) == ReferenceHex(path));
    Check(CharacterBoundaryLength(path.c_str(), limit, IsNeverLeadByte) == std::min(limit, path.size()));
    uint16_t ids[2] = {0x1234, 0x5678}, expected[2] = {0x1234, 0x5678};
    ReadIdAfter(path.c_str(), "vid_", IsNeverLeadByte, &ids[0]);
    ReadIdAfter(path.c_str(), "pid_", IsNeverLeadByte, &ids[1]);
    ReferenceId(path, "vid_", &expected[0]);
    ReferenceId(path, "pid_", &expected[1]);
    Check(ids[0] == expected[0] && ids[1] == expected[1]);
    return 0;
}
