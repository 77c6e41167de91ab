// The signature check of a downloaded installer against the system's own
// Authenticode verification, with copies of a small program signed at build
// time: one under a test root that the system is made to trust for the
// test, one under a root it does not know.
// The rig's header brings winsock2.h, which must come before windows.h.
#include "tests/support/DownloadTestRig.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wintrust.h>

#include <string>

#include "download/SignatureCheck.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TrustedRoot.h"

namespace {

class SignatureCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.trusted());
        // The Japanese folder name holds bytes that are backslashes when
        // read one at a time.
        m_folder = TestFolder("ソフト表");
        m_signed = m_folder + "\\signed.exe";
        WriteWholeFile(m_signed, ReadWholeFile(WindowsPath(SIGNED_MARK_PROGRAM)));
    }

    std::string CopyOf(const char* source, const char* name)
    {
        const std::string path = m_folder + "\\" + name;
        WriteWholeFile(path, ReadWholeFile(WindowsPath(source)));
        return path;
    }

    TrustedRoot m_root{WindowsPath(TEST_ROOT_CERTIFICATE)};
    std::string m_folder;
    std::string m_signed;
};

TEST_F(SignatureCheckTest, TrustedRootSignatureIsTrustedAndNoSignatureIsNotSigned)
{
    SignatureCheck check = CheckSignature(m_signed.c_str());
    EXPECT_EQ(SignatureTrust::Trusted, check.m_trust);
    EXPECT_EQ(0, check.m_lResult);
    EXPECT_EQ(0u, check.m_dwChainStatus);

    check = CheckSignature(CopyOf(MARK_PROGRAM, "unsigned.exe").c_str());
    EXPECT_EQ(SignatureTrust::NotSigned, check.m_trust);
    EXPECT_EQ(TRUST_E_NOSIGNATURE, check.m_lResult);
}

TEST_F(SignatureCheckTest, ChangedUntrustedOrUnreadableFileIsNotTrusted)
{
    // One byte changed in the middle of the signed program, away from the
    // signature at its end.
    std::string bytes = ReadWholeFile(m_signed);
    ASSERT_GT(bytes.size(), 10000u);
    bytes[bytes.size() / 2] ^= 0x01;
    const std::string changed = m_folder + "\\changed.exe";
    WriteWholeFile(changed, bytes);
    SignatureCheck check = CheckSignature(changed.c_str());
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(TRUST_E_BAD_DIGEST, check.m_lResult);

    // Windows fails the verification itself; a system that lets it pass
    // still shows the untrusted root in the signer's chain.
    check = CheckSignature(CopyOf(UNTRUSTED_MARK_PROGRAM, "untrusted.exe").c_str());
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_TRUE(check.m_lResult != 0 || check.m_dwChainStatus != 0);

    // A trusted file that another program holds open without sharing.
    HANDLE locked = CreateFileA(m_signed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    check = CheckSignature(m_signed.c_str());
    CloseHandle(locked);
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), check.m_lResult);
    EXPECT_EQ(SignatureTrust::Trusted, CheckSignature(m_signed.c_str()).m_trust);

    check = CheckSignature((m_folder + "\\missing.exe").c_str());
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), check.m_lResult);
}

}  // namespace
