#include "framework/DialogLayout.h"

#include <cstring>

namespace {

template <typename T>
T ReadAt(const unsigned char* bytes, size_t offset)
{
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

}  // namespace

DialogTemplateInfo ReadDialogTemplateInfo(const void* data, size_t size)
{
    DialogTemplateInfo info;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (!bytes || size < 18) return info;

    if (ReadAt<WORD>(bytes, 0) == 1 && ReadAt<WORD>(bytes, 2) == 0xFFFF) {
        // DLGTEMPLATEEX: version, signature, help id, extended style, style,
        // item count, then the rectangle.
        if (size < 26) return info;
        info.extended = true;
        info.extendedStyle = ReadAt<DWORD>(bytes, 8);
        info.style = ReadAt<DWORD>(bytes, 12);
        info.itemCount = ReadAt<WORD>(bytes, 16);
        info.x = ReadAt<short>(bytes, 18);
        info.y = ReadAt<short>(bytes, 20);
        info.cx = ReadAt<short>(bytes, 22);
        info.cy = ReadAt<short>(bytes, 24);
    } else {
        info.style = ReadAt<DWORD>(bytes, 0);
        info.extendedStyle = ReadAt<DWORD>(bytes, 4);
        info.itemCount = ReadAt<WORD>(bytes, 8);
        info.x = ReadAt<short>(bytes, 10);
        info.y = ReadAt<short>(bytes, 12);
        info.cx = ReadAt<short>(bytes, 14);
        info.cy = ReadAt<short>(bytes, 16);
    }
    info.valid = true;
    return info;
}

bool ShouldCentreDialog(const DialogTemplateInfo& info)
{
    if (!info.valid) return false;
    if (info.style & (WS_CHILD | DS_CENTER | DS_CENTERMOUSE | DS_ABSALIGN)) return false;
    return info.x == 0 && info.y == 0;
}

POINT CentredPosition(const RECT& window, const RECT* owner, const RECT& workArea)
{
    const RECT& area = owner ? *owner : workArea;
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    LONG left = (area.left + area.right) / 2 - width / 2;
    LONG top = (area.top + area.bottom) / 2 - height / 2;

    if (left + width > workArea.right) left = workArea.right - width;
    if (left < workArea.left) left = workArea.left;
    if (top + height > workArea.bottom) top = workArea.bottom - height;
    if (top < workArea.top) top = workArea.top;
    return POINT{left, top};
}
