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

    // DLGTEMPLATEEX begins with version 1 and signature 0xFFFF, then the help
    // id, extended style, style, item count and rectangle; the classic
    // DLGTEMPLATE with the style, extended style, item count and rectangle.
    info.extended = ReadAt<WORD>(bytes, 0) == 1 && ReadAt<WORD>(bytes, 2) == 0xFFFF;
    if (info.extended && size < 26) {
        info.extended = false;
        return info;
    }
    const size_t styleAt = info.extended ? 12 : 0;
    const size_t extendedStyleAt = info.extended ? 8 : 4;
    const size_t itemCountAt = info.extended ? 16 : 8;
    const size_t rectangleAt = itemCountAt + 2;
    info.style = ReadAt<DWORD>(bytes, styleAt);
    info.extendedStyle = ReadAt<DWORD>(bytes, extendedStyleAt);
    info.itemCount = ReadAt<WORD>(bytes, itemCountAt);
    info.x = ReadAt<short>(bytes, rectangleAt);
    info.y = ReadAt<short>(bytes, rectangleAt + 2);
    info.cx = ReadAt<short>(bytes, rectangleAt + 4);
    info.cy = ReadAt<short>(bytes, rectangleAt + 6);
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
