// Window-free parts of the framework: string formatting, the file dialog's
// filter list, where dialogs open, where the minimised icon is drawn.
#include <gtest/gtest.h>

#include <string>

#include "app/DownloaderDlg.h"
#include "framework/CFileDialog.h"
#include "framework/CString.h"
#include "framework/DialogLayout.h"

// Every character of a wide string, zeros included.
std::wstring AsWide(const CStringW& text)
{
    return std::wstring(text.GetString(), static_cast<size_t>(text.GetLength()));
}

TEST(CStringFormat, FormatsNumbersStringsAndLongText)
{
    CString text;
    text.Format("%s : %s", "12:34:56", "return 3 \r\n");
    EXPECT_STREQ("12:34:56 : return 3 \r\n", text);

    text.Format("%02d:%02d:%02d", 7, 5, 0);
    EXPECT_STREQ("07:05:00", text);

    std::string longText(5000, 'x');
    text.Format("[%s]", longText.c_str());
    EXPECT_EQ(5002, text.GetLength());
    EXPECT_EQ('[', text[0]);
    EXPECT_EQ(']', text[5001]);
}

TEST(CStringFormat, KeepsShiftJisBytesAndReplacesOldText)
{
    CString text("old contents that must go");
    text.Format("%s", "ファイル");
    EXPECT_STREQ("ファイル", text);
    EXPECT_EQ(8, text.GetLength());  // four double-byte characters
    text.Format(nullptr);
    EXPECT_TRUE(text.IsEmpty());
}

TEST(FileDialogFilter, BarsBecomeZerosWithDoubleZeroEnd)
{
    const wchar_t expected[] = L"Execute Files(*.exe)\0*.exe\0";  // the literal adds the last zero
    EXPECT_EQ(std::wstring(expected, std::size(expected)),
              AsWide(ConvertFilterString("Execute Files(*.exe)|*.exe||", 932)));

    // Without the closing "||" the list still ends in two zeros.
    const wchar_t shortList[] = L"A\0*.a\0";
    EXPECT_EQ(std::wstring(shortList, std::size(shortList)), AsWide(ConvertFilterString("A|*.a", 932)));
    EXPECT_EQ(L"", AsWide(ConvertFilterString(nullptr, 932)));
}

TEST(FileDialogFilter, TrailByteThatLooksLikeABarIsKept)
{
    // 0x83 0x7C is a double-byte character in code page 932 (U+30DD) whose
    // second byte equals '|'; it must not split the description.
    const char filter[] = {'\x83', '\x7C', '(', '*', '.', 'x', ')', '|', '*', '.', 'x', '|', '|', 0};
    const wchar_t expected[] = L"\u30DD(*.x)\0*.x\0";
    EXPECT_EQ(std::wstring(expected, std::size(expected)), AsWide(ConvertFilterString(filter, 932)));
}

namespace {

// A classic template header followed by nothing: style, extended style,
// item count, x, y, cx, cy.
std::string ClassicTemplate(DWORD style, short x, short y)
{
    std::string bytes(18, '\0');
    memcpy(&bytes[0], &style, 4);
    memcpy(&bytes[10], &x, 2);
    memcpy(&bytes[12], &y, 2);
    const short cx = 187, cy = 91;
    memcpy(&bytes[14], &cx, 2);
    memcpy(&bytes[16], &cy, 2);
    return bytes;
}

}  // namespace

TEST(DialogPlacement, TemplatesAtOriginWithoutCentringStyleAreCentred)
{
    const DWORD popup = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    std::string bytes = ClassicTemplate(popup, 0, 0);
    DialogTemplateInfo info = ReadDialogTemplateInfo(bytes.data(), bytes.size());
    ASSERT_TRUE(info.valid);
    EXPECT_FALSE(info.extended);
    EXPECT_EQ(187, info.cx);
    EXPECT_TRUE(ShouldCentreDialog(info));

    bytes = ClassicTemplate(popup, 10, 0);
    EXPECT_FALSE(ShouldCentreDialog(ReadDialogTemplateInfo(bytes.data(), bytes.size())));
    bytes = ClassicTemplate(popup | DS_CENTER, 0, 0);
    EXPECT_FALSE(ShouldCentreDialog(ReadDialogTemplateInfo(bytes.data(), bytes.size())));
    bytes = ClassicTemplate(popup | DS_ABSALIGN, 0, 0);
    EXPECT_FALSE(ShouldCentreDialog(ReadDialogTemplateInfo(bytes.data(), bytes.size())));
    EXPECT_FALSE(ShouldCentreDialog(ReadDialogTemplateInfo(bytes.data(), 10)));
}

TEST(DialogPlacement, ExtendedTemplateHeaderIsRead)
{
    unsigned char bytes[26] = {1, 0, 0xFF, 0xFF};
    const DWORD exStyle = WS_EX_APPWINDOW, style = 0x90C800C0;
    const short x = 0, y = 5, cx = 210, cy = 167;
    memcpy(bytes + 8, &exStyle, 4);
    memcpy(bytes + 12, &style, 4);
    bytes[16] = 5;
    memcpy(bytes + 18, &x, 2);
    memcpy(bytes + 20, &y, 2);
    memcpy(bytes + 22, &cx, 2);
    memcpy(bytes + 24, &cy, 2);
    const DialogTemplateInfo info = ReadDialogTemplateInfo(bytes, sizeof bytes);
    ASSERT_TRUE(info.valid);
    EXPECT_TRUE(info.extended);
    EXPECT_EQ(style, info.style);
    EXPECT_EQ(exStyle, info.extendedStyle);
    EXPECT_EQ(5, info.itemCount);
    EXPECT_EQ(210, info.cx);
    EXPECT_EQ(167, info.cy);
    EXPECT_FALSE(ShouldCentreDialog(info));  // y is 5
}

TEST(DialogPlacement, CentresOverOwnerOrWorkAreaAndStaysOnScreen)
{
    const RECT workArea{0, 0, 1024, 738};
    const RECT dialog{0, 0, 300, 200};

    POINT p = CentredPosition(dialog, nullptr, workArea);
    EXPECT_EQ(362, p.x);
    EXPECT_EQ(269, p.y);

    const RECT owner{100, 100, 500, 400};
    p = CentredPosition(dialog, &owner, workArea);
    EXPECT_EQ(150, p.x);
    EXPECT_EQ(150, p.y);

    // An owner near the corner would push the dialog off screen.
    const RECT cornerOwner{-50, -40, 50, 60};
    p = CentredPosition(dialog, &cornerOwner, workArea);
    EXPECT_EQ(0, p.x);
    EXPECT_EQ(0, p.y);
    const RECT farOwner{900, 650, 1100, 800};
    p = CentredPosition(dialog, &farOwner, workArea);
    EXPECT_EQ(724, p.x);
    EXPECT_EQ(538, p.y);
}

TEST(MinimisedIcon, CentredWithRoundingTowardZero)
{
    EXPECT_EQ(20, MinimisedIconPosition(RECT{0, 0, 72, 72}, 32, 32).x);
    // (33 - 32 + 1) / 2 = 1 and (31 - 32 + 1) / 2 = 0 with truncation.
    EXPECT_EQ(1, MinimisedIconPosition(RECT{0, 0, 33, 33}, 32, 32).x);
    EXPECT_EQ(0, MinimisedIconPosition(RECT{0, 0, 31, 31}, 32, 32).y);
    // (0 - 32 + 1) / 2 = -15 (not -16): division truncates toward zero.
    EXPECT_EQ(-15, MinimisedIconPosition(RECT{0, 0, 0, 0}, 32, 32).x);
}

TEST(DialogAtScreenScale, BannerCoversTheSameShareOfTheDialogAt96And144Dpi)
{
    // The main dialog's font, 9 points, as made for 96 DPI.
    const LOGFONTW font{-12, 0, 0, 0, 0, 0, 0, 0, SHIFTJIS_CHARSET, 0, 0, 0, 0, L"ＭＳ Ｐゴシック"};
    const int unitAt96 = DialogBaseUnitX(font, 96, 96), unitAt144 = DialogBaseUnitX(font, 96, 144);
    ASSERT_GT(unitAt96, 0);
    // Its width: 210 dialog units.
    const int clientAt96 = ::MulDiv(210, unitAt96, 4), clientAt144 = ::MulDiv(210, unitAt144, 4);

    const RECT at96 = BannerRect(POINT{0, 0}, SIZE{365, 94}, unitAt96, unitAt96);
    EXPECT_EQ(365, at96.right - at96.left);  // its own size, pixel for pixel
    EXPECT_EQ(94, at96.bottom - at96.top);
    const RECT at144 = BannerRect(POINT{0, 0}, SIZE{365, 94}, unitAt144, unitAt96);
    EXPECT_NEAR(double(at96.right) / clientAt96, double(at144.right) / clientAt144, 0.005)
        << clientAt96 << " and " << clientAt144 << " pixels wide";
    // Not distorted: the height grows with the width.
    EXPECT_NEAR(double(at144.bottom) / at144.right, 94.0 / 365, 0.005);
}
