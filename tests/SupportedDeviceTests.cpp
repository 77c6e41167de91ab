// The supported-camera check against the system's own device enumerator,
// with simulated cameras plugged in and out between checks.
#include <gtest/gtest.h>

#include <objbase.h>

#include <set>
#include <utility>

#include "devices/DShowUtils.h"
#include "devices/SupportedDevice.h"
#include "tests/support/SimulatedCamera.h"

namespace {

SupportedDevice SupportedModel(int index)
{
    SupportedDevice table[SUPPORTED_DEVICE_COUNT];
    SupportedDeviceTable(table);
    return table[index];
}

class SupportedDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        SimulatedCamera::UnplugAll();
    }
    void TearDown() override { CoUninitialize(); }
};

TEST(SupportedDeviceTable, HoldsTwentyNineDistinctPairsWithoutZero)
{
    SupportedDevice table[SUPPORTED_DEVICE_COUNT];
    SupportedDeviceTable(table);
    std::set<std::pair<WORD, WORD>> pairs;
    for (const SupportedDevice& model : table) {
        EXPECT_NE(0, model.wVendorId);
        EXPECT_NE(0, model.wProductId);
        pairs.insert({model.wVendorId, model.wProductId});
    }
    EXPECT_EQ(29u, pairs.size());
}

TEST_F(SupportedDeviceTest, NoCameraAndOtherMakersCamerasAreNotSupported)
{
    EXPECT_EQ(0, IsSupportedDeviceConnected());

    SimulatedCamera other("test-camera-a", "Built-in Camera", SimulatedCamera::UsbDevicePath(0x0BDA, 0x5520));
    ASSERT_TRUE(other.plugged());
    EXPECT_EQ(0, IsSupportedDeviceConnected());

    // A supported model whose driver reports no USB ids in its path.
    SupportedDevice model = SupportedModel(0);
    char path[64];
    snprintf(path, sizeof(path), "\\\\?\\root#image#%04x&%04x#0000", model.wVendorId, model.wProductId);
    SimulatedCamera pathless("test-camera-b", "USB Camera", path);
    ASSERT_TRUE(pathless.plugged());
    EXPECT_EQ(0, IsSupportedDeviceConnected());
}

TEST_F(SupportedDeviceTest, SupportedCameraIsFoundBehindAnotherAndEveryCheckEnumeratesAfresh)
{
    SimulatedCamera other("test-camera-a", "Built-in Camera", SimulatedCamera::UsbDevicePath(0x0BDA, 0x5520));
    ASSERT_TRUE(other.plugged());
    EXPECT_EQ(0, IsSupportedDeviceConnected());

    SupportedDevice model = SupportedModel(SUPPORTED_DEVICE_COUNT - 1);
    {
        SimulatedCamera supported("test-camera-b", "USB Camera",
                                  SimulatedCamera::UsbDevicePath(model.wVendorId, model.wProductId));
        ASSERT_TRUE(supported.plugged());

        CFilterList list;
        ASSERT_EQ(2, CDShowUtils::GetFilterList(CLSID_VideoInputDeviceCategory, &list));
        // The premise of the check below: the supported camera is second.
        ASSERT_EQ(2, list.m_nCount);
        EXPECT_EQ(0x0BDA, list.m_ppItems[0]->m_wVendorId);
        EXPECT_EQ(model.wVendorId, list.m_ppItems[1]->m_wVendorId);
        EXPECT_EQ(1, IsSupportedDeviceConnected());
    }
    // Unplugged again: the next check sees it gone.
    EXPECT_EQ(0, IsSupportedDeviceConnected());
}

TEST_F(SupportedDeviceTest, EnumeratedCameraCarriesNameAndIdsFromTheSystem)
{
    SimulatedCamera camera("test-camera-c", "USB Camera", SimulatedCamera::UsbDevicePath(0x3C1A, 0x0101));
    ASSERT_TRUE(camera.plugged());
    CFilterList list;
    ASSERT_EQ(1, CDShowUtils::GetFilterList(CLSID_VideoInputDeviceCategory, &list));
    ASSERT_EQ(1, list.m_nCount);
    const CFilterItem* item = list.m_ppItems[0];
    ASSERT_NE(nullptr, item);
    EXPECT_STREQ("USB Camera", item->m_pszName);
    EXPECT_EQ(0x3C1A, item->m_wVendorId);
    EXPECT_EQ(0x0101, item->m_wProductId);
    EXPECT_EQ(FALSE, item->m_bCompressor);
    EXPECT_NE(nullptr, item->m_pFilter);
    EXPECT_EQ(1, item->m_nPinCount);
}

}  // namespace
