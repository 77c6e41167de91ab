// The signature check of a downloaded installer against the system's own
// Authenticode verification, with copies of a small program signed at build
// time: one under a test root that the system is made to trust for the
// test, one under a root it does not know.
// The rig's header brings winsock2.h, which must come before windows.h.
#include "tests/support/DownloadTestRig.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>

#include "download/SignatureCheck.h"
#include "tests/support/ImportPatch.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TrustedRoot.h"

namespace {

SignatureCheck CheckSignature(const std::string& path, DWORD timeoutMs = SIGNATURE_CHECK_TIMEOUT_MS)
{
    wchar_t wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH)) return {SignatureTrust::Trusted, -1, 0};
    return ::CheckSignature(wide, timeoutMs);
}

// Windows' own verdicts, which Wine does not give, handed out through the
// import table: the result of WinVerifyTrust and the signer's chain bits.
struct WindowsVerdict {
    static LONG s_lResult;
    static DWORD s_dwProvFlags;
    static HANDLE s_hHang;
    static LONG s_nClosed;
    static CERT_CHAIN_CONTEXT s_chain;
    static CRYPT_PROVIDER_SGNR s_signer;
    static CRYPT_PROVIDER_DATA s_provider;

    static LONG WINAPI WinVerifyTrust(HWND, GUID*, LPVOID parameter)
    {
        auto* data = static_cast<WINTRUST_DATA*>(parameter);
        if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
            InterlockedIncrement(&s_nClosed);
            return 0;
        }
        s_dwProvFlags = data->dwProvFlags;
        if (s_hHang) WaitForSingleObject(s_hHang, INFINITE);
        data->hWVTStateData = &s_provider;
        return s_lResult;
    }
    static CRYPT_PROVIDER_DATA* WINAPI ProvData(HANDLE state) { return state == &s_provider ? &s_provider : nullptr; }
    static CRYPT_PROVIDER_SGNR* WINAPI Signer(CRYPT_PROVIDER_DATA* provider, DWORD, BOOL, DWORD)
    {
        return provider == &s_provider ? &s_signer : nullptr;
    }
};
LONG WindowsVerdict::s_lResult;
DWORD WindowsVerdict::s_dwProvFlags;
HANDLE WindowsVerdict::s_hHang;
LONG WindowsVerdict::s_nClosed;
CERT_CHAIN_CONTEXT WindowsVerdict::s_chain;
CRYPT_PROVIDER_SGNR WindowsVerdict::s_signer;
CRYPT_PROVIDER_DATA WindowsVerdict::s_provider;

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
    SignatureCheck check = CheckSignature(m_signed);
    EXPECT_EQ(SignatureTrust::Trusted, check.m_trust);
    EXPECT_EQ(0, check.m_lResult);
    EXPECT_EQ(0u, check.m_dwChainStatus);

    check = CheckSignature(CopyOf(MARK_PROGRAM, "unsigned.exe"));
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
    SignatureCheck check = CheckSignature(changed);
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(TRUST_E_BAD_DIGEST, check.m_lResult);

    // Windows fails the verification itself; a system that lets it pass
    // still shows the untrusted root in the signer's chain.
    check = CheckSignature(CopyOf(UNTRUSTED_MARK_PROGRAM, "untrusted.exe"));
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_TRUE(check.m_lResult != 0 || check.m_dwChainStatus != 0);

    // A trusted file that another program holds open without sharing.
    HANDLE locked = CreateFileA(m_signed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    check = CheckSignature(m_signed);
    CloseHandle(locked);
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), check.m_lResult);
    EXPECT_EQ(SignatureTrust::Trusted, CheckSignature(m_signed).m_trust);

    check = CheckSignature(m_folder + "\\missing.exe");
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), check.m_lResult);
}

TEST_F(SignatureCheckTest, WindowsVerdictDecidesAndAHungVerificationEndsWithinTheBound)
{
    ImportPatch verify("wintrust.dll", "WinVerifyTrust",
                       reinterpret_cast<const void*>(&WindowsVerdict::WinVerifyTrust));
    ImportPatch provider("wintrust.dll", "WTHelperProvDataFromStateData",
                         reinterpret_cast<const void*>(&WindowsVerdict::ProvData));
    ImportPatch signer("wintrust.dll", "WTHelperGetProvSignerFromChain",
                       reinterpret_cast<const void*>(&WindowsVerdict::Signer));
    ASSERT_TRUE(verify.Applied() && provider.Applied() && signer.Applied());
    WindowsVerdict::s_signer.cbStruct = sizeof WindowsVerdict::s_signer;
    WindowsVerdict::s_signer.pChainContext = &WindowsVerdict::s_chain;

    const struct {
        LONG lResult;
        DWORD dwChain;
        SignatureTrust expected;
    } cases[] = {
        // Accepted by the policy with bits it tolerates: revocation offline
        // or unknown, a signer certificate expired after its timestamp.
        {0, CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION, SignatureTrust::Trusted},
        {0, CERT_TRUST_IS_NOT_TIME_VALID, SignatureTrust::Trusted},
        {0, CERT_TRUST_IS_UNTRUSTED_ROOT, SignatureTrust::NotTrusted},
        {0, CERT_TRUST_IS_PARTIAL_CHAIN, SignatureTrust::NotTrusted},
        {TRUST_E_EXPLICIT_DISTRUST, 0, SignatureTrust::Blocked},
        {CERT_E_REVOKED, 0, SignatureTrust::Blocked},
        {CRYPT_E_SECURITY_SETTINGS, 0, SignatureTrust::Blocked},
        {CERT_E_UNTRUSTEDROOT, 0, SignatureTrust::NotTrusted},
        {CERT_E_EXPIRED, 0, SignatureTrust::NotTrusted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.lResult << " chain " << c.dwChain);
        WindowsVerdict::s_lResult = c.lResult;
        WindowsVerdict::s_chain.TrustStatus.dwErrorStatus = c.dwChain;
        EXPECT_EQ(c.expected, CheckSignature(m_signed).m_trust);
        // Missing certificates of the chain may be fetched.
        EXPECT_EQ(0u, WindowsVerdict::s_dwProvFlags & WTD_CACHE_ONLY_URL_RETRIEVAL);
    }

    // A fetch that never returns: the check gives up after its bound, and
    // the verification still closes its state when it ends later.
    WindowsVerdict::s_lResult = 0;
    WindowsVerdict::s_chain.TrustStatus.dwErrorStatus = 0;
    WindowsVerdict::s_hHang = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const LONG closed = WindowsVerdict::s_nClosed;
    const DWORD start = GetTickCount();
    const SignatureCheck check = CheckSignature(m_signed, 500);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_TIMEOUT), check.m_lResult);
    EXPECT_GE(elapsed, 450u);
    EXPECT_LT(elapsed, 5000u);
    SetEvent(WindowsVerdict::s_hHang);
    for (int i = 0; i < 500 && WindowsVerdict::s_nClosed == closed; ++i) Sleep(10);
    EXPECT_EQ(closed + 1, WindowsVerdict::s_nClosed);
    CloseHandle(WindowsVerdict::s_hHang);
    WindowsVerdict::s_hHang = nullptr;
}

}  // namespace
