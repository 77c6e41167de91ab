// Reads the resources of the built program and of the shipped 32-bit program
// straight from the files and checks them field by field against what the
// program must carry. Nothing here goes through the resource script: every
// binary format is taken apart by hand.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../res/resource.h"
#include "installer/SignatureCheck.h"
#include "framework/CWideText.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TrustedRoot.h"

namespace {

// The program of this build and, in the 64-bit build, the shipped 32-bit
// program beside it; each with the machine it is built for and the manifest
// it must carry.
struct Program {
    const char* exe;
    uint16_t machine;
    const char* manifest;
    const char* root = nullptr;  // of a signed copy, the release test's
};

const Program kPrograms[] = {
#ifdef _WIN64
    {PROGRAM_EXE, IMAGE_FILE_MACHINE_AMD64, PROGRAM_MANIFEST},
#else
    {PROGRAM_EXE, IMAGE_FILE_MACHINE_I386, PROGRAM_MANIFEST},
#endif
#ifdef SHIPPED_EXE
    {SHIPPED_EXE, IMAGE_FILE_MACHINE_I386, SHIPPED_MANIFEST},
#endif
#ifdef SIGNED_SHIPPED_EXE
    {SIGNED_SHIPPED_EXE, IMAGE_FILE_MACHINE_I386, SHIPPED_MANIFEST, RELEASE_TEST_ROOT},
#endif
};
const WORD kLang = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

// One executable mapped as data, unloaded at the end of the scope.
class Image {
public:
    explicit Image(const char* path)
        : module_(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }
    ~Image()
    {
        if (module_) FreeLibrary(module_);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    bool Loaded() const { return module_ != nullptr; }

    // Bytes of one resource in Japanese; empty when there is none.
    std::vector<uint8_t> Resource(LPCSTR type, WORD id) const
    {
        HRSRC info = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), kLang);
        if (!info) return {};
        HGLOBAL handle = LoadResource(module_, info);
        const DWORD size = SizeofResource(module_, info);
        const auto* data = static_cast<const uint8_t*>(LockResource(handle));
        if (!data) return {};
        return std::vector<uint8_t>(data, data + size);
    }

    bool Has(LPCSTR type, WORD id) const
    {
        return FindResourceExA(module_, type, MAKEINTRESOURCEA(id), kLang) != nullptr;
    }

private:
    HMODULE module_;
};

// Sequential reader over a resource, with bounds checks that fail the test
// instead of reading past the end.
class Reader {
public:
    Reader(const std::vector<uint8_t>& data, size_t pos = 0) : data_(data), pos_(pos) {}

    bool Ok() const { return ok_; }
    size_t Pos() const { return pos_; }
    void Seek(size_t pos) { pos_ = pos; }
    void Align(size_t to) { pos_ = (pos_ + to - 1) / to * to; }

    uint16_t Word() { return Read<uint16_t>(); }
    uint32_t Dword() { return Read<uint32_t>(); }
    int16_t Short() { return static_cast<int16_t>(Word()); }
    uint8_t Byte() { return Read<uint8_t>(); }
    // Zero-terminated UTF-16 string.
    std::wstring Wide()
    {
        std::wstring s;
        for (;;) {
            const uint16_t c = Word();
            if (!ok_ || c == 0) break;
            s.push_back(static_cast<wchar_t>(c));
        }
        return s;
    }

private:
    // A little-endian value at the current position; past the end it reads
    // as 0 and marks the reader as failed.
    template <typename T>
    T Read()
    {
        if (pos_ + sizeof(T) > data_.size()) {
            ok_ = false;
            return 0;
        }
        T value;
        std::memcpy(&value, &data_[pos_], sizeof(T));
        pos_ += sizeof(T);
        return value;
    }

    const std::vector<uint8_t>& data_;
    size_t pos_;
    bool ok_ = true;
};

// A field of a dialog template that is either 0xFFFF + ordinal or a string.
struct SzOrOrd {
    bool isOrdinal = false;
    uint16_t ordinal = 0;
    std::wstring text;
};

SzOrOrd ReadSzOrOrd(Reader& r)
{
    SzOrOrd v;
    const uint16_t first = r.Word();
    if (first == 0xFFFF) {
        v.isOrdinal = true;
        v.ordinal = r.Word();
    } else if (first != 0) {
        v.text.push_back(static_cast<wchar_t>(first));
        v.text += r.Wide();
    }
    return v;
}

// ---------------------------------------------------------------------------
// Dialogs

enum class Cls { Button, Static, Progress };

struct ExpectedControl {
    uint32_t id;  // 0xFFFFFFFF for IDC_STATIC; cut to 16 bits in classic templates
    Cls cls;
    DWORD style;  // without WS_CHILD | WS_VISIBLE, added below
    short x, y, cx, cy;
    const wchar_t* text;  // nullptr when the text is an ordinal
    uint16_t textOrdinal;
};

struct ExpectedDialog {
    WORD id;
    bool extended;
    DWORD style;
    short cx, cy;
    const wchar_t* title;
    std::vector<ExpectedControl> controls;
};

const uint32_t kStatic = 0xFFFFFFFF;

// The four small dialogs: classic templates with DS_MODALFRAME | DS_SETFONT |
// WS_POPUP | WS_CAPTION | WS_SYSMENU.
ExpectedDialog SmallDialog(WORD id, short cx, short cy, const wchar_t* title, std::vector<ExpectedControl> controls)
{
    return {id, false, 0x80C800C0, cx, cy, title, std::move(controls)};
}

std::vector<ExpectedDialog> ExpectedDialogs()
{
    return {
        SmallDialog(
            IDD_ABOUTBOX, 235, 55, L"Downloaderのﾊﾞｰｼﾞｮﾝ情報",
            {
                {kStatic, Cls::Static, SS_ICON, 11, 17, 20, 20, nullptr, IDR_MAINFRAME},
                {kStatic, Cls::Static, SS_LEFT | SS_NOPREFIX | WS_GROUP, 40, 10, 119, 8, L"Downloader Version 1.08", 0},
                {kStatic, Cls::Static, SS_LEFT | WS_GROUP, 40, 25, 119, 8, L"Copyright (C) ZEMBRA", 0},
                {IDOK, Cls::Button, BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 178, 7, 50, 14, L"OK", 0},
            }),
        {IDD_DOWNLOADER_DIALOG,
         true,
         0x90C800C0,
         210,
         167,
         L"ダウンローダー",
         {
             {IDCANCEL, Cls::Button, BS_PUSHBUTTON | WS_TABSTOP, 154, 140, 50, 18, L"ｷｬﾝｾﾙ", 0},
             {IDC_DOWNLOAD, Cls::Button, BS_PUSHBUTTON | WS_TABSTOP, 97, 140, 52, 18, L"ダウンロード", 0},
             {kStatic, Cls::Static, SS_LEFT | WS_GROUP, 7, 74, 192, 52,
              L"この度は弊社製品をご購入いただき、誠にありがとうございます。\n\n"
              L"ソフトウェアをダウンロードするには、対応機種がパソコンに接続されている必要があります。"
              L"お手持ちの対応機種をパソコンに接続し、「ダウンロード」ボタンを押してください。",
              0},
             {kStatic, Cls::Static, SS_BITMAP, 0, 0, 209, 63, nullptr, IDB_BANNER},
             {kStatic, Cls::Static, SS_ETCHEDHORZ, 0, 129, 211, 1, L"", 0},
         }},
        SmallDialog(IDD_PROGRESS, 187, 91, L"ダウンローダー",
                    {
                        {IDCANCEL, Cls::Button, BS_PUSHBUTTON | WS_TABSTOP, 68, 70, 50, 14, L"ｷｬﾝｾﾙ", 0},
                        {IDC_PROGRESS, Cls::Progress, WS_BORDER, 7, 32, 173, 16, L"Progress1", 0},
                    }),
        SmallDialog(IDD_COMPLETE, 175, 99, L"ダウンローダー",
                    {
                        {IDOK, Cls::Button, BS_DEFPUSHBUTTON | WS_TABSTOP, 55, 75, 50, 14, L"OK", 0},
                        {kStatic, Cls::Static, SS_LEFT | WS_GROUP, 13, 17, 144, 16, L"ダウンロードが完了しました。", 0},
                        {IDC_RUN_CHECK, Cls::Button, BS_AUTOCHECKBOX | WS_TABSTOP, 15, 45, 142, 12,
                         L"ダウンロードしたモジュールを実行します", 0},
                    }),
        SmallDialog(IDD_CONNECT_CHECK, 169, 77, L"接続確認",
                    {
                        {IDOK, Cls::Button, BS_DEFPUSHBUTTON | WS_TABSTOP, 28, 51, 50, 14, L"再試行", 0},
                        {IDCANCEL, Cls::Button, BS_PUSHBUTTON | WS_TABSTOP, 89, 51, 50, 14, L"ｷｬﾝｾﾙ", 0},
                        {kStatic, Cls::Static, SS_LEFT | WS_GROUP, 16, 15, 142, 26,
                         L"対応機種が接続されていません。\n\n接続を確認して、[再試行]ボタンを押してください。", 0},
                    }),
    };
}

// Window class of a control: a predefined ordinal or its name, both accepted.
void CheckClass(const SzOrOrd& cls, Cls expected)
{
    switch (expected) {
        case Cls::Button:
            if (cls.isOrdinal) {
                EXPECT_EQ(cls.ordinal, 0x80);
            } else {
                EXPECT_EQ(0, _wcsicmp(cls.text.c_str(), L"Button")) << "class " << cls.text.size();
            }
            break;
        case Cls::Static:
            if (cls.isOrdinal) {
                EXPECT_EQ(cls.ordinal, 0x82);
            } else {
                EXPECT_EQ(0, _wcsicmp(cls.text.c_str(), L"Static")) << "class " << cls.text.size();
            }
            break;
        case Cls::Progress:
            // The resource compiler stores named classes upper-cased; window
            // class names are matched without regard to case.
            EXPECT_FALSE(cls.isOrdinal);
            EXPECT_EQ(0, _wcsicmp(cls.text.c_str(), L"msctls_progress32")) << "class " << cls.text.size();
            break;
    }
}

void CheckDialog(const std::vector<uint8_t>& data, const ExpectedDialog& want)
{
    Reader r(data);
    DWORD style, exStyle;
    uint16_t count;
    if (want.extended) {
        ASSERT_EQ(r.Word(), 1) << "dlgVer";
        ASSERT_EQ(r.Word(), 0xFFFF) << "signature";
        EXPECT_EQ(r.Dword(), 0u) << "helpID";
        exStyle = r.Dword();
        style = r.Dword();
    } else {
        style = r.Dword();
        ASSERT_NE(style >> 16, 0xFFFFu) << "template is extended";
        exStyle = r.Dword();
    }
    EXPECT_EQ(style, want.style);
    EXPECT_EQ(exStyle, want.extended ? static_cast<DWORD>(WS_EX_APPWINDOW) : 0u);
    count = r.Word();
    EXPECT_EQ(r.Short(), 0) << "x";
    EXPECT_EQ(r.Short(), 0) << "y";
    EXPECT_EQ(r.Short(), want.cx);
    EXPECT_EQ(r.Short(), want.cy);

    const SzOrOrd menu = ReadSzOrOrd(r);
    EXPECT_FALSE(menu.isOrdinal);
    EXPECT_TRUE(menu.text.empty()) << "dialog has a menu";
    const SzOrOrd cls = ReadSzOrOrd(r);
    EXPECT_FALSE(cls.isOrdinal);
    EXPECT_TRUE(cls.text.empty()) << "dialog has its own class";
    EXPECT_TRUE(r.Wide() == want.title) << "title";

    ASSERT_TRUE(style & DS_SETFONT);
    EXPECT_EQ(r.Word(), 9) << "point size";
    if (want.extended) {
        EXPECT_EQ(r.Word(), 0) << "weight";
        EXPECT_EQ(r.Byte(), 0) << "italic";
        EXPECT_EQ(r.Byte(), 1) << "charset";
    }
    EXPECT_TRUE(r.Wide() == L"ＭＳ Ｐゴシック") << "typeface";
    ASSERT_TRUE(r.Ok());

    ASSERT_EQ(count, want.controls.size());
    for (size_t i = 0; i < want.controls.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        const ExpectedControl& c = want.controls[i];
        r.Align(4);
        uint32_t id;
        if (want.extended) {
            EXPECT_EQ(r.Dword(), 0u) << "helpID";
            exStyle = r.Dword();
            style = r.Dword();
        } else {
            style = r.Dword();
            exStyle = r.Dword();
        }
        EXPECT_EQ(style, c.style | WS_CHILD | WS_VISIBLE);
        EXPECT_EQ(exStyle, 0u);
        EXPECT_EQ(r.Short(), c.x);
        EXPECT_EQ(r.Short(), c.y);
        EXPECT_EQ(r.Short(), c.cx);
        EXPECT_EQ(r.Short(), c.cy);
        id = want.extended ? r.Dword() : r.Word();
        EXPECT_EQ(id, want.extended ? c.id : (c.id & 0xFFFF));
        CheckClass(ReadSzOrOrd(r), c.cls);
        const SzOrOrd text = ReadSzOrOrd(r);
        if (c.text) {
            EXPECT_FALSE(text.isOrdinal);
            EXPECT_TRUE(text.text == c.text) << "text of " << text.text.size() << " chars";
        } else {
            EXPECT_TRUE(text.isOrdinal);
            EXPECT_EQ(text.ordinal, c.textOrdinal);
        }
        EXPECT_EQ(r.Word(), 0) << "creation data";
        ASSERT_TRUE(r.Ok()) << "template cut short";
    }
}

TEST(Resources, DialogTemplates)
{
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        Image image(program.exe);
        ASSERT_TRUE(image.Loaded());
        for (const ExpectedDialog& d : ExpectedDialogs()) {
            SCOPED_TRACE("dialog " + std::to_string(d.id));
            const std::vector<uint8_t> data = image.Resource(RT_DIALOG, d.id);
            ASSERT_FALSE(data.empty());
            CheckDialog(data, d);
        }
        EXPECT_FALSE(image.Has(RT_DIALOG, 101));
    }
}

// ---------------------------------------------------------------------------
// Bitmap, icons and strings

TEST(Resources, BannerBitmap)
{
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        Image image(program.exe);
        ASSERT_TRUE(image.Loaded());
        const std::vector<uint8_t> data = image.Resource(RT_BITMAP, IDB_BANNER);
        ASSERT_GE(data.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER h;
        std::memcpy(&h, data.data(), sizeof h);
        EXPECT_EQ(h.biSize, 40u);
        EXPECT_EQ(h.biWidth, 365);
        EXPECT_EQ(h.biHeight, 94);
        EXPECT_EQ(h.biPlanes, 1);
        EXPECT_EQ(h.biBitCount, 24);
        EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
        EXPECT_EQ(h.biClrUsed, 0u);
        // Rows of 365 * 3 bytes padded to 1,096; no colour table in between.
        EXPECT_EQ(data.size(), 40u + 1096u * 94u);
    }
}

TEST(Resources, ApplicationIcon)
{
    struct Entry {
        int size, bpp;
        DWORD bytes;
    };
    const Entry want[] = {
        {32, 4, 744},  {16, 4, 296},   {48, 8, 3752},  {32, 8, 2216},
        {16, 8, 1384}, {48, 32, 9640}, {32, 24, 3240}, {16, 32, 1128},
    };
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        Image image(program.exe);
        ASSERT_TRUE(image.Loaded());
        const std::vector<uint8_t> group = image.Resource(RT_GROUP_ICON, IDR_MAINFRAME);
        Reader r(group);
        EXPECT_EQ(r.Word(), 0) << "reserved";
        EXPECT_EQ(r.Word(), 1) << "type";
        ASSERT_EQ(r.Word(), 8) << "count";
        for (int i = 0; i < 8; ++i) {
            SCOPED_TRACE("entry " + std::to_string(i));
            const uint8_t width = r.Byte(), height = r.Byte();
            r.Byte();  // colour count
            EXPECT_EQ(r.Byte(), 0) << "reserved";
            r.Word();  // planes
            const uint16_t bpp = r.Word();
            const uint32_t bytes = r.Dword();
            const uint16_t imageId = r.Word();
            ASSERT_TRUE(r.Ok());
            EXPECT_EQ(width, want[i].size);
            EXPECT_EQ(height, want[i].size);
            EXPECT_EQ(bpp, want[i].bpp);
            EXPECT_EQ(bytes, want[i].bytes);
            EXPECT_EQ(imageId, i + 1);

            const std::vector<uint8_t> icon = image.Resource(RT_ICON, imageId);
            ASSERT_EQ(icon.size(), want[i].bytes);
            BITMAPINFOHEADER h;
            std::memcpy(&h, icon.data(), sizeof h);
            EXPECT_EQ(h.biSize, 40u);
            EXPECT_EQ(h.biWidth, want[i].size);
            EXPECT_EQ(h.biHeight, 2 * want[i].size) << "no AND mask";
            EXPECT_EQ(h.biBitCount, want[i].bpp);
        }
        EXPECT_EQ(r.Pos(), group.size());
    }
}

// Entry `id` of the string table block holding it; sets `found` to whether
// the block exists and the entry is not empty.
std::wstring LoadTableString(const Image& image, UINT id, bool& found)
{
    found = false;
    const std::vector<uint8_t> block = image.Resource(RT_STRING, static_cast<WORD>((id >> 4) + 1));
    if (block.empty()) return {};
    Reader r(block);
    for (UINT i = 0; i < (id & 15); ++i) {
        const uint16_t len = r.Word();
        r.Seek(r.Pos() + 2 * len);
    }
    const uint16_t len = r.Word();
    std::wstring s;
    for (uint16_t i = 0; i < len; ++i) s.push_back(static_cast<wchar_t>(r.Word()));
    found = r.Ok() && len != 0;
    return s;
}

TEST(Resources, StringTable)
{
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        Image image(program.exe);
        ASSERT_TRUE(image.Loaded());
        bool found = false;
        const std::wstring about = LoadTableString(image, IDS_ABOUTBOX, found);
        EXPECT_TRUE(found);
        EXPECT_TRUE(about == L"Downloader のﾊﾞｰｼﾞｮﾝ情報(&A)...") << about.size() << " chars";
        LoadTableString(image, 0xE000, found);
        EXPECT_FALSE(found) << "application title string present";
    }
}

// ---------------------------------------------------------------------------
// Version record

struct VersionNode {
    uint16_t length = 0, valueLength = 0, type = 0;
    std::wstring key;
    size_t valuePos = 0;
    std::vector<VersionNode> children;
};

// Parses one node starting at `pos` (32-bit aligned) and its children.
bool ParseVersionNode(const std::vector<uint8_t>& data, size_t pos, VersionNode& node)
{
    Reader r(data, pos);
    node.length = r.Word();
    node.valueLength = r.Word();
    node.type = r.Word();
    node.key = r.Wide();
    r.Align(4);
    node.valuePos = r.Pos();
    const size_t end = pos + node.length;
    if (!r.Ok() || node.length < 6 || end > data.size()) return false;
    const size_t valueBytes = node.type == 1 ? 2u * node.valueLength : node.valueLength;
    size_t child = (node.valuePos + valueBytes + 3) / 4 * 4;
    while (child < end) {
        VersionNode c;
        if (!ParseVersionNode(data, child, c)) return false;
        child = (child + c.length + 3) / 4 * 4;
        node.children.push_back(c);
    }
    return child <= (end + 3) / 4 * 4;
}

TEST(Resources, VersionRecord)
{
    struct Pair {
        const wchar_t* key;
        const wchar_t* value;
    };
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        Image image(program.exe);
        ASSERT_TRUE(image.Loaded());
        const std::vector<uint8_t> data = image.Resource(RT_VERSION, 1);
        VersionNode root;
        ASSERT_TRUE(ParseVersionNode(data, 0, root));
        EXPECT_EQ(root.length, data.size());
        EXPECT_TRUE(root.key == L"VS_VERSION_INFO");
        EXPECT_EQ(root.type, 0);
        ASSERT_EQ(root.valueLength, sizeof(VS_FIXEDFILEINFO));
        VS_FIXEDFILEINFO f;
        std::memcpy(&f, &data[root.valuePos], sizeof f);
        EXPECT_EQ(f.dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(f.dwStrucVersion, 0x00010000u);
        EXPECT_EQ(f.dwFileVersionMS, 0x00010015u);
        EXPECT_EQ(f.dwFileVersionLS, 0u);
        EXPECT_EQ(f.dwProductVersionMS, 0x00010015u);
        EXPECT_EQ(f.dwProductVersionLS, 0u);
        EXPECT_EQ(f.dwFileFlagsMask, 0x3Fu);
        EXPECT_EQ(f.dwFileFlags, 0u);
        EXPECT_EQ(f.dwFileOS, 4u);
        EXPECT_EQ(f.dwFileType, 1u);
        EXPECT_EQ(f.dwFileSubtype, 0u);
        EXPECT_EQ(f.dwFileDateMS, 0u);
        EXPECT_EQ(f.dwFileDateLS, 0u);

        ASSERT_EQ(root.children.size(), 2u);
        const VersionNode& strings = root.children[0];
        EXPECT_TRUE(strings.key == L"StringFileInfo");
        ASSERT_EQ(strings.children.size(), 1u);
        const VersionNode& table = strings.children[0];
        EXPECT_TRUE(table.key == L"041104b0");

        std::vector<std::wstring> values;
        const Pair want[] = {
            {L"Comments", L""},
            {L"CompanyName", L""},
            {L"FileDescription", nullptr},
            {L"FileVersion", L"1, 21, 0, 0"},
            {L"InternalName", L"QuilloCamKitDL"},
            {L"LegalCopyright", nullptr},
            {L"LegalTrademarks", L""},
            {L"OriginalFilename", L"QuilloCamKitDL.exe"},
            {L"PrivateBuild", L""},
            {L"ProductName", nullptr},
            {L"ProductVersion", L"1, 21, 0, 0"},
            {L"SpecialBuild", L""},
        };
        ASSERT_EQ(table.children.size(), 12u);
        for (size_t i = 0; i < 12; ++i) {
            const VersionNode& v = table.children[i];
            SCOPED_TRACE("value " + std::to_string(i));
            EXPECT_TRUE(v.key == want[i].key);
            EXPECT_EQ(v.type, 1);
            std::wstring value;
            Reader r(data, v.valuePos);
            for (uint16_t k = 0; k < v.valueLength; ++k) value.push_back(static_cast<wchar_t>(r.Word()));
            ASSERT_TRUE(r.Ok());
            // wValueLength counts the one terminator, when there is text at all.
            if (!value.empty()) {
                EXPECT_EQ(value.back(), L'\0') << "value not terminated";
                value.pop_back();
            }
            EXPECT_EQ(value.find(L'\0'), std::wstring::npos) << "value carries a second terminator";
            values.push_back(value);
            if (want[i].value) {
                EXPECT_TRUE(value == want[i].value) << value.size() << " chars";
            }
        }
        const std::wstring& description = values[2];
        const std::wstring suffix = L"Downloader";
        EXPECT_TRUE(description.size() >= suffix.size() &&
                    description.compare(description.size() - suffix.size(), suffix.size(), suffix) == 0);
        EXPECT_FALSE(values[5].empty()) << "no copyright";
        EXPECT_TRUE(values[9] == description) << "product name differs from the description";

        const VersionNode& var = root.children[1];
        EXPECT_TRUE(var.key == L"VarFileInfo");
        ASSERT_EQ(var.children.size(), 1u);
        const VersionNode& translation = var.children[0];
        EXPECT_TRUE(translation.key == L"Translation");
        EXPECT_EQ(translation.type, 0);
        ASSERT_EQ(translation.valueLength, 4);
        Reader r(data, translation.valuePos);
        EXPECT_EQ(r.Word(), 0x0411);
        EXPECT_EQ(r.Word(), 0x04B0);
    }
}

// ---------------------------------------------------------------------------
// Manifest and file headers

std::vector<uint8_t> ReadFileBytes(const char* path)
{
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path, "rb");
    if (!f) return bytes;
    uint8_t buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

// The processorArchitecture values of a manifest, in order.
std::vector<std::string> ProcessorArchitectures(const std::string& manifest)
{
    std::vector<std::string> values;
    const std::string key = "processorArchitecture=\"";
    for (size_t at = manifest.find(key); at != std::string::npos; at = manifest.find(key, at)) {
        at += key.size();
        const size_t end = manifest.find('"', at);
        if (end == std::string::npos) break;
        values.push_back(manifest.substr(at, end - at));
    }
    return values;
}

TEST(Resources, Manifest)
{
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        const std::vector<uint8_t> file = ReadFileBytes(program.manifest);
        ASSERT_FALSE(file.empty()) << program.manifest;
        const std::string text(file.begin(), file.end());
        EXPECT_NE(text.compare(0, 3, "\xEF\xBB\xBF"), 0) << "byte order mark";
        size_t lines = 0, bareLf = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                ++lines;
                if (i == 0 || text[i - 1] != '\r') ++bareLf;
            }
        }
        EXPECT_EQ(lines, 22u);
        EXPECT_EQ(bareLf, 0u);
        EXPECT_EQ(text.back(), '\n') << "last line not ended";
        EXPECT_NE(text.find("name=\"ZEMBRA.Downloader.EXE\""), std::string::npos);
        EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\""), std::string::npos);
        EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);

        Image image(program.exe);
        ASSERT_TRUE(image.Loaded());
        const std::vector<uint8_t> embedded = image.Resource(MAKEINTRESOURCEA(24), 1);
        EXPECT_TRUE(embedded == file);

        // The loader binds the common controls of the architecture the
        // manifest names: a 64-bit program naming X86 gets the 32-bit DLL
        // and never shows a window (c000007b) on a system that has both.
        const char* const own = program.machine == IMAGE_FILE_MACHINE_AMD64 ? "amd64" : "x86";
        const std::vector<std::string> architectures =
            ProcessorArchitectures(std::string(embedded.begin(), embedded.end()));
        EXPECT_EQ(architectures.size(), 2u) << "assembly identity and common controls";
        for (const std::string& architecture : architectures)
            EXPECT_EQ(0, _stricmp(architecture.c_str(), own)) << architecture << " in a program for " << own;
    }
}

// KnownDLLs of Windows 7 and every later Windows, which the loader takes only
// from the system directory, and the common controls, which the manifest
// takes from the side-by-side store.
const char kKnownDlls[] =
    " advapi32 clbcatq comdlg32 gdi32 imagehlp imm32 kernel32 msctf msvcrt normaliz nsi ole32 oleaut32 psapi"
    " rpcrt4 sechost setupapi shell32 shlwapi user32 wldap32 ws2_32 comctl32 ";

TEST(Resources, ExecutableHeaders)
{
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.exe);
        const std::vector<uint8_t> bytes = ReadFileBytes(program.exe);
        ASSERT_GE(bytes.size(), 0x40u);
        // Small enough to hand out as it is: the C++ library's string and
        // container code alone would add a hundred kilobytes and more.
        EXPECT_LT(bytes.size(), 300u * 1024);
        Reader r(bytes);
        EXPECT_EQ(r.Word(), 0x5A4D) << "MZ";
        r.Seek(0x3C);
        const uint32_t pe = r.Dword();
        r.Seek(pe);
        EXPECT_EQ(r.Dword(), 0x00004550u) << "PE signature";
        EXPECT_EQ(r.Word(), program.machine);
        r.Seek(pe + 22);
        EXPECT_EQ(0, r.Word() & IMAGE_FILE_RELOCS_STRIPPED);
        // The version fields and the subsystem sit at the same offsets of
        // the optional header in both formats. The program needs Windows 7
        // (WINVER 0x0601); an older system must refuse it at once instead
        // of failing later on a missing function.
        const size_t optional = pe + 24;
        r.Seek(optional + 40);
        EXPECT_EQ(r.Word(), 6) << "major operating system version";
        EXPECT_EQ(r.Word(), 1) << "minor operating system version";
        r.Seek(optional + 48);
        EXPECT_EQ(r.Word(), 6) << "major subsystem version";
        EXPECT_EQ(r.Word(), 1) << "minor subsystem version";
        r.Seek(optional + 68);
        EXPECT_EQ(r.Word(), IMAGE_SUBSYSTEM_WINDOWS_GUI);
        const uint16_t dllCharacteristics = r.Word();
        EXPECT_TRUE(r.Ok());
        // Address space randomisation (high-entropy where 64-bit), no
        // execution of data, and no Remote Desktop compatibility shims.
        uint16_t hardening = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT |
                             IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;
        if (program.machine == IMAGE_FILE_MACHINE_AMD64) hardening |= IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA;
        EXPECT_EQ(hardening, dllCharacteristics & hardening);

        // A program started from a Downloads folder: Windows' loader looks
        // beside it first for every imported DLL that is not a KnownDLL.
        const unsigned sections = Reader(bytes, pe + 6).Word();
        const size_t sectionTable = optional + Reader(bytes, pe + 20).Word();
        const size_t directories = optional + (program.machine == IMAGE_FILE_MACHINE_AMD64 ? 112 : 96);
        // Where the data whose address is stored at `at` lies in the file; 0
        // when no section holds it.
        const auto target = [&](size_t at) -> size_t {
            const uint32_t rva = Reader(bytes, at).Dword();
            for (size_t section = sectionTable; section < sectionTable + sections * 40; section += 40) {
                Reader s(bytes, section + 8);
                const uint32_t size = s.Dword(), address = s.Dword(), rawSize = s.Dword(), raw = s.Dword();
                if (s.Ok() && rva >= address && rva < address + std::max(size, rawSize)) return raw + (rva - address);
            }
            return 0;
        };
        // Randomised addresses need a fix-up for each absolute one; GNU ld
        // once left them out of programs, or wrote one empty block.
        EXPECT_GT(Reader(bytes, directories + 8 * IMAGE_DIRECTORY_ENTRY_BASERELOC + 4).Dword(), 100u);

        int imported = 0;
        for (size_t import = target(directories + 8 * IMAGE_DIRECTORY_ENTRY_IMPORT); import; import += 20, ++imported) {
            const size_t name = target(import + 12);
            if (!name) break;
            std::string dll = reinterpret_cast<const char*>(&bytes[name]);
            CharLowerA(&dll[0]);
            EXPECT_EQ(".dll", dll.substr(dll.size() - 4));
            EXPECT_NE(std::string::npos, std::string(kKnownDlls).find(" " + dll.substr(0, dll.size() - 4) + " "))
                << dll << " is not a KnownDLL";
        }
        EXPECT_GE(imported, 5);
        // The stack guard is drawn without the system's cryptographic
        // provider, which would load DLLs before the search is limited.
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("CryptGenRandom"), std::string::npos);

        // A signed release passes every other test as its build does, and
        // Windows' verification under its root; signed by the maker, it is
        // still not the installer the program starts unasked.
        if (program.root) {
            TrustedRoot root(program.root);
            ASSERT_TRUE(root.trusted());
            HANDLE file = CreateFileA(program.exe, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            const SignatureReport check = VerifySignatureAndWait(file, CWideText(program.exe, CP_ACP));
            CloseHandle(file);
            EXPECT_TRUE(check.m_trust == SignatureTrust::OtherInstaller && check.m_lResult == 0 &&
                        check.m_dwChainStatus == 0)
                << check.m_lResult << " " << check.m_dwChainStatus;
        }

        // The i386 driver guard registers its exception handler on the stack:
        // the system calls it only in an image without NO_SEH and without a
        // SafeSEH table, which would have to list it.
        if (program.machine != IMAGE_FILE_MACHINE_I386) continue;
        EXPECT_EQ(0, dllCharacteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH);
        const size_t loadConfig = target(directories + 8 * IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
        if (loadConfig && Reader(bytes, loadConfig).Dword() >= 72) {
            EXPECT_EQ(0u, Reader(bytes, loadConfig + 64).Dword()) << "SafeSEH handler table";
        }
    }
    // A smashed stack ends the program with the system's code for it.
    ProgramProcess smash;
    ASSERT_TRUE(smash.Start(WindowsPath(STACK_SMASH_PROGRAM), nullptr));
    DWORD exitCode = 0;
    ASSERT_TRUE(smash.HasExited(10000, &exitCode));
    EXPECT_EQ(STATUS_STACK_BUFFER_OVERRUN, exitCode);
}

}  // namespace
