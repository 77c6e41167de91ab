// Tests for the device path's id rules (DevicePathIds: hex parsing, the ids
// read from a path) and for the filter list: its entries and the ownership
// of filter and pin references, checked with counting COM test doubles.
#include "FilterList.h"
#include "tests/support/DeviceDoubles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class FilterListTest : public ::testing::Test {
protected:
    void SetUp() override { g_finalReleases.clear(); }
};

// Every enumerator a filter handed out was released exactly once.
void ExpectEnumeratorsReleased(const FakeFilter& filter)
{
    for (const FakeEnumPins* e : filter.enumerators()) {
        EXPECT_EQ(0, e->refs()) << e->name();
        EXPECT_FALSE(e->overReleased()) << e->name();
    }
}

// ---------------------------------------------------------------------------
// Hex parsing

TEST(HexParsing, DigitValues)
{
    const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(i, HexDigitValue(digits[i])) << digits[i];
    const char upper[] = "ABCDEF";
    for (int i = 0; i < 6; ++i) EXPECT_EQ(10 + i, HexDigitValue(upper[i])) << upper[i];
}

TEST(HexParsing, NonDigitsIncludingHighBytesAreRejected)
{
    EXPECT_EQ(-1, HexDigitValue('G'));
    EXPECT_EQ(-1, HexDigitValue('g'));
    EXPECT_EQ(-1, HexDigitValue(' '));
    EXPECT_EQ(-1, HexDigitValue('/'));
    EXPECT_EQ(-1, HexDigitValue(':'));
    EXPECT_EQ(-1, HexDigitValue('@'));
    EXPECT_EQ(-1, HexDigitValue('`'));
    EXPECT_EQ(-1, HexDigitValue('\0'));
    EXPECT_EQ(-1, HexDigitValue(static_cast<char>(0x80)));
    EXPECT_EQ(-1, HexDigitValue(static_cast<char>(0xFF)));
    // Every byte value agrees with the character classes.
    for (int b = 0; b < 256; ++b) {
        const bool isHex = (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
        EXPECT_EQ(isHex, HexDigitValue(static_cast<char>(b)) >= 0) << b;
    }
}

TEST(HexParsing, EmptyAndDigitlessTextGiveZero)
{
    EXPECT_EQ(0, HexStringToInt(nullptr));
    EXPECT_EQ(0, HexStringToInt(""));
    EXPECT_EQ(0, HexStringToInt("xyz"));
    EXPECT_EQ(0, HexStringToInt("&&"));
}

TEST(HexParsing, LastRunOfDigitsIsRead)
{
    EXPECT_EQ(0x0A1B, HexStringToInt("0a1b"));
    EXPECT_EQ(0x2B, HexStringToInt("1g2b"));
    EXPECT_EQ(0x12, HexStringToInt("12&p"));
    EXPECT_EQ(0xAB, HexStringToInt("AB  "));
    EXPECT_EQ(0x7, HexStringToInt("x7y"));
    EXPECT_EQ(0x1234, HexStringToInt("1234"));
}

TEST(HexParsing, OnlyTheLastEightDigitsCount)
{
    EXPECT_EQ(-1, HexStringToInt("ffffffff"));
    EXPECT_EQ(0, HexStringToInt("100000000"));
    EXPECT_EQ(0x12345678, HexStringToInt("9912345678"));
    EXPECT_EQ(static_cast<int>(0x80000000u), HexStringToInt("80000000"));
    EXPECT_EQ(0x7FFFFFFF, HexStringToInt("7fffffff"));
}

TEST(HexParsing, ReplaceStringCopiesAndFrees)
{
    char* slot = nullptr;
    char source[] = "first";
    char* stored = ReplaceString(&slot, source);
    ASSERT_NE(nullptr, stored);
    EXPECT_EQ(stored, slot);
    EXPECT_NE(source, slot);
    source[0] = 'X';
    EXPECT_STREQ("first", slot);
    EXPECT_STREQ("second", ReplaceString(&slot, "second"));
    EXPECT_EQ(nullptr, ReplaceString(&slot, nullptr));
    EXPECT_EQ(nullptr, slot);
}

// ---------------------------------------------------------------------------
// Device paths

TEST(DevicePath, VendorAndProductAreRead)
{
    CFilterItem item(nullptr, FALSE);
    item.SetDevicePath("\\\\?\\usb#vid_0abc&pid_12ef&mi_00#7&1&0#{guid}");
    EXPECT_EQ(0x0ABC, item.m_wVendorId);
    EXPECT_EQ(0x12EF, item.m_wProductId);
    EXPECT_STREQ("\\\\?\\usb#vid_0abc&pid_12ef&mi_00#7&1&0#{guid}", item.m_pszDevicePath);
}

TEST(DevicePath, ShortAndMissingIds)
{
    {
        CFilterItem item(nullptr, FALSE);
        item.SetDevicePath("usb#vid_12&pid_#more");
        EXPECT_EQ(0x12, item.m_wVendorId);
        EXPECT_EQ(0, item.m_wProductId);
    }
    {
        // The search is case-sensitive.
        CFilterItem item(nullptr, FALSE);
        item.SetDevicePath("usb#VID_1234&PID_5678");
        EXPECT_EQ(0, item.m_wVendorId);
        EXPECT_EQ(0, item.m_wProductId);
    }
    {
        CFilterItem item(nullptr, FALSE);
        item.SetDevicePath("usb#pid_4321&vid_8765");
        EXPECT_EQ(0x8765, item.m_wVendorId);
        EXPECT_EQ(0x4321, item.m_wProductId);
    }
    {
        CFilterItem item(nullptr, FALSE);
        item.m_wVendorId = 0x5555;
        item.SetDevicePath("usb#vid_");
        EXPECT_EQ(0, item.m_wVendorId);
    }
    {
        // The path is read by characters: the second byte of "プ" is a 'v',
        // and the second byte of "ア" an 'A', yet neither is part of an id.
        CFilterItem item(nullptr, FALSE);
        item.SetDevicePath("usb#プid_3c1a&pid_1ア");
        EXPECT_EQ(0, item.m_wVendorId);
        EXPECT_EQ(0x1, item.m_wProductId);
    }
}

TEST(DevicePath, NullPathFreesPathButKeepsIds)
{
    CFilterItem item(nullptr, FALSE);
    item.SetDevicePath("vid_1111&pid_2222");
    ASSERT_NE(nullptr, item.m_pszDevicePath);
    item.SetDevicePath(nullptr);
    EXPECT_EQ(nullptr, item.m_pszDevicePath);
    EXPECT_EQ(0x1111, item.m_wVendorId);
    EXPECT_EQ(0x2222, item.m_wProductId);

    // A path without ids leaves the earlier ones alone too.
    item.SetDevicePath("root#image#0000");
    EXPECT_STREQ("root#image#0000", item.m_pszDevicePath);
    EXPECT_EQ(0x1111, item.m_wVendorId);
    EXPECT_EQ(0x2222, item.m_wProductId);
}

TEST(DevicePath, LongPathIsCut)
{
    const std::string path = "vid_0abc&pid_0def" + std::string(583, 'x');
    ASSERT_EQ(600u, path.size());
    CFilterItem item(nullptr, FALSE);
    item.SetDevicePath(path.c_str());
    ASSERT_NE(nullptr, item.m_pszDevicePath);
    EXPECT_EQ(path.substr(0, 511), std::string(item.m_pszDevicePath));
    EXPECT_EQ(0x0ABC, item.m_wVendorId);
    EXPECT_EQ(0x0DEF, item.m_wProductId);

    // A double-byte character across the limit is left out whole.
    const std::string straddling = "vid_0abc&pid_0def" + std::string(493, 'x') + "表" + std::string(50, 'y');
    item.SetDevicePath(straddling.c_str());
    EXPECT_EQ(straddling.substr(0, 510), std::string(item.m_pszDevicePath));
}

TEST(DevicePath, NewItemStartsCleared)
{
    CFilterItem item(nullptr, FALSE);
    EXPECT_EQ(nullptr, item.m_pFilter);
    EXPECT_EQ(0, item.m_nPinCount);
    EXPECT_EQ(nullptr, item.m_ppPins);
    EXPECT_EQ(nullptr, item.m_pszName);
    EXPECT_EQ(nullptr, item.m_pszDevicePath);
    EXPECT_EQ(0, item.m_wVendorId);
    EXPECT_EQ(0, item.m_wProductId);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, item.m_guid));
    EXPECT_FALSE(item.m_bCompressor);
    item.SetName("Camera");
    EXPECT_STREQ("Camera", item.m_pszName);
    item.SetGuid(IID_IBaseFilter);
    EXPECT_TRUE(IsEqualGUID(IID_IBaseFilter, item.m_guid));
}

// ---------------------------------------------------------------------------
// Filter list ownership

TEST_F(FilterListTest, NullFilterIsRefused)
{
    CFilterList list;
    EXPECT_EQ(-1, list.AddFilter(nullptr, TRUE));
    EXPECT_EQ(0, list.m_nCount);
    EXPECT_EQ(nullptr, list.m_ppItems);
}

TEST_F(FilterListTest, FiltersAndPinsAreListedInOrder)
{
    FakePin a("a.pin0"), b("a.pin1");
    FakeFilter first("a", {&a, &b});
    FakeFilter second("b", {});
    {
        CFilterList list;
        EXPECT_EQ(1, list.AddFilter(&first, TRUE));
        EXPECT_EQ(2, list.AddFilter(&second, TRUE));
        ASSERT_EQ(2, list.m_nCount);
        ASSERT_NE(nullptr, list.m_ppItems[0]);
        ASSERT_NE(nullptr, list.m_ppItems[1]);

        CFilterItem* one = list.m_ppItems[0];
        EXPECT_EQ(&first, one->m_pFilter);
        ASSERT_EQ(2, one->m_nPinCount);
        ASSERT_NE(nullptr, one->m_ppPins);
        ASSERT_NE(nullptr, one->m_ppPins[0]);
        ASSERT_NE(nullptr, one->m_ppPins[1]);
        EXPECT_EQ(&a, one->m_ppPins[0]->m_pPin);
        EXPECT_EQ(&b, one->m_ppPins[1]->m_pPin);
        EXPECT_TRUE(one->m_ppPins[0]->m_bOwnsPin);

        CFilterItem* two = list.m_ppItems[1];
        EXPECT_EQ(&second, two->m_pFilter);
        EXPECT_EQ(0, two->m_nPinCount);
        EXPECT_EQ(nullptr, two->m_ppPins);

        // The list holds the pins' references from the enumerator and the
        // filters' references given to it; nothing else is taken.
        EXPECT_EQ(2, a.refs());
        EXPECT_EQ(2, b.refs());
        EXPECT_EQ(1, first.refs());
        EXPECT_EQ(1, second.refs());
        EXPECT_EQ(1, first.enumCalls());
        ExpectEnumeratorsReleased(first);
        ExpectEnumeratorsReleased(second);
    }
    // Only the filters' references reached zero: they were handed over.
    EXPECT_EQ(0, first.refs());
    EXPECT_EQ(0, second.refs());
    EXPECT_EQ(1, a.refs());
    EXPECT_EQ(1, b.refs());
}

TEST_F(FilterListTest, FailedPinEnumerationLeavesAnEntryWithoutPins)
{
    FakePin pin("pin");
    FakeFilter broken("broken", {&pin}, true);
    CFilterList list;
    EXPECT_EQ(1, list.AddFilter(&broken, TRUE));
    ASSERT_EQ(1, list.m_nCount);
    ASSERT_NE(nullptr, list.m_ppItems[0]);
    EXPECT_EQ(&broken, list.m_ppItems[0]->m_pFilter);
    EXPECT_EQ(0, list.m_ppItems[0]->m_nPinCount);
    EXPECT_EQ(nullptr, list.m_ppItems[0]->m_ppPins);
    EXPECT_EQ(1, broken.enumCalls());
    EXPECT_EQ(1, pin.refs());
}

TEST_F(FilterListTest, FaultingPinEnumerationKeepsTheEntryWithThePinsGathered)
{
    for (Fault fault : {Fault::CppException, Fault::AccessViolation}) {
        FakePin a("a"), b("b");
        FakeFilter noEnumerator("no enumerator", {&a}), secondNext("second next", {&a, &b});
        noEnumerator.enumPinsFault = secondNext.nextFault = fault;
        secondNext.nextFaultAt = 1;
        {
            CFilterList list;
            EXPECT_EQ(1, list.AddFilter(&noEnumerator, TRUE));
            EXPECT_EQ(2, list.AddFilter(&secondNext, TRUE));
            EXPECT_EQ(0, list.m_ppItems[0]->m_nPinCount);
            ASSERT_EQ(1, list.m_ppItems[1]->m_nPinCount);
            EXPECT_EQ(2, a.refs());
            EXPECT_EQ(1, b.refs());
            ExpectEnumeratorsReleased(secondNext);
        }
        EXPECT_EQ(1, a.refs());
        EXPECT_EQ(0, noEnumerator.refs() + secondNext.refs());
    }
}

TEST_F(FilterListTest, DestroyingReleasesPinsBeforeTheirFilterOnce)
{
    // The pins' creator reference is dropped up front so the list holds the
    // last one, as it does with real pins from an enumerator.
    FakePin p0("f0.pin0"), p1("f0.pin1"), q0("f1.pin0");
    FakeFilter f0("f0", {&p0, &p1});
    FakeFilter f1("f1", {&q0});
    {
        CFilterList list;
        ASSERT_EQ(1, list.AddFilter(&f0, TRUE));
        ASSERT_EQ(2, list.AddFilter(&f1, TRUE));
        p0.Release();
        p1.Release();
        q0.Release();
        // Only the enumerators are gone so far, each as soon as it was used.
        const std::vector<std::string> enumerators = {"f0.enum", "f1.enum"};
        ASSERT_EQ(enumerators, g_finalReleases);
        g_finalReleases.clear();
    }
    const std::vector<std::string> expected = {"f0.pin0", "f0.pin1", "f0", "f1.pin0", "f1"};
    EXPECT_EQ(expected, g_finalReleases);
    for (const RefCounted* obj : std::vector<const RefCounted*>{&p0, &p1, &q0, &f0, &f1}) {
        EXPECT_EQ(0, obj->refs()) << obj->name();
        EXPECT_FALSE(obj->overReleased()) << obj->name();
    }
    ExpectEnumeratorsReleased(f0);
    ExpectEnumeratorsReleased(f1);
}

TEST_F(FilterListTest, BorrowedFilterIsNotReleased)
{
    FakePin pin("pin");
    FakeFilter filter("filter", {&pin});
    {
        CFilterList list;
        ASSERT_EQ(1, list.AddFilter(&filter, FALSE));
    }
    EXPECT_EQ(1, filter.refs());
    EXPECT_EQ(1, pin.refs());  // the pin's own reference is still released
    ExpectEnumeratorsReleased(filter);
}

TEST_F(FilterListTest, EnumeratingAgainReplacesThePins)
{
    FakePin pin("pin");
    FakeFilter filter("filter", {&pin});
    CFilterItem item(&filter, FALSE);
    ASSERT_EQ(1, item.m_nPinCount);
    EXPECT_EQ(2, pin.refs());
    EXPECT_EQ(1, item.EnumeratePins());
    EXPECT_EQ(2, pin.refs());  // the first wrapper's reference was given back
    item.ClearPins();
    EXPECT_EQ(0, item.m_nPinCount);
    EXPECT_EQ(nullptr, item.m_ppPins);
    EXPECT_EQ(1, pin.refs());
    ExpectEnumeratorsReleased(filter);
}

TEST_F(FilterListTest, RemoveAllEmptiesTheList)
{
    FakeFilter filter("filter", {});
    CFilterList list;
    ASSERT_EQ(1, list.AddFilter(&filter, TRUE));
    list.RemoveAll();
    EXPECT_EQ(0, list.m_nCount);
    EXPECT_EQ(nullptr, list.m_ppItems);
    EXPECT_EQ(0, filter.refs());
    list.RemoveAll();
    EXPECT_EQ(0, filter.refs());
    EXPECT_FALSE(filter.overReleased());
}

TEST_F(FilterListTest, DestroyingAnEmptyListReleasesNothing)
{
    {
        CFilterList list;
        EXPECT_EQ(0, list.m_nCount);
        EXPECT_EQ(nullptr, list.m_ppItems);
    }
    EXPECT_TRUE(g_finalReleases.empty());
}

}  // namespace
