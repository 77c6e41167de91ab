// The signature check of a downloaded installer against the system's own
// Authenticode verification, with copies of a small program signed at build
// time: one under a test root that the system is made to trust for the
// test, one under a root it does not know.
// The rig's header brings winsock2.h, which must come before windows.h.
#include "tests/support/DownloadTestRig.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <mssip.h>
#include <softpub.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "installer/SignatureCheck.h"
#include "framework/CWideText.h"
#include "tests/support/ImportPatch.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TrustedRoot.h"

namespace {

// Held as the Downloader holds the installer, which stays open for it.
SignatureReport VerifySignatureAndWait(const char* path, DWORD timeoutMs = SIGNATURE_CHECK_TIMEOUT_MS)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const SignatureReport check = ::VerifySignatureAndWait(file, CWideText(path, CP_ACP), timeoutMs);
    EXPECT_TRUE(file == INVALID_HANDLE_VALUE || CloseHandle(file));
    return check;
}

// Windows' verdicts, which Wine does not give, through the import table:
// WinVerifyTrust's result (after a hang, when asked) and the chain's bits.
LONG s_lVerdict, s_nClosed;
DWORD s_dwRevocationChecks, s_dwProvFlags, s_dwFileType;
HANDLE s_hHang;
CERT_CHAIN_CONTEXT s_chain;
CRYPT_PROVIDER_SGNR s_signer;
CRYPT_PROVIDER_DATA s_provider;
PROVDATA_SIP s_sip;
SIP_INDIRECT_DATA s_indirectData;
char s_sha256[] = "2.16.840.1.101.3.4.2.1";

LONG WINAPI WindowsWinVerifyTrust(HWND, GUID*, LPVOID parameter)
{
    auto* data = static_cast<WINTRUST_DATA*>(parameter);
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) return InterlockedIncrement(&s_nClosed), 0;
    s_dwRevocationChecks = data->fdwRevocationChecks;
    s_dwProvFlags = data->dwProvFlags;
    if (s_hHang) WaitForSingleObject(s_hHang, INFINITE);
    s_dwFileType = GetFileType(data->pFile->hFile);
    data->hWVTStateData = &s_provider;
    return s_lVerdict;
}
CRYPT_PROVIDER_DATA* WINAPI ProviderData(HANDLE)
{
    return &s_provider;
}
CRYPT_PROVIDER_SGNR* WINAPI FirstSigner(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD)
{
    return &s_signer;
}

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
    SignatureReport check = VerifySignatureAndWait(m_signed.c_str());
    EXPECT_EQ(SignatureTrust::Trusted, check.m_trust);
    EXPECT_EQ(0, check.m_lResult);
    EXPECT_EQ(0u, check.m_dwChainStatus);

    // The pinned installer signed again by a renewed maker certificate; the
    // maker's other version of it; the pinned one with data added inside its
    // certificate table, which Windows accepts.
    for (const auto& [copy, expected] : std::initializer_list<std::pair<const char*, SignatureTrust>>{
             {RENEWED_MARK_PROGRAM, SignatureTrust::Trusted},
             {VERSION_2_MARK_PROGRAM, SignatureTrust::OtherInstaller},
             {PADDED_MARK_PROGRAM, SignatureTrust::ChangedAfterSigning}}) {
        check = VerifySignatureAndWait(CopyOf(copy, "copy.exe").c_str());
        EXPECT_EQ(expected, check.m_trust) << copy;
        EXPECT_EQ(0, check.m_lResult) << copy;
    }

    // Valid under the same trusted root, but not the maker's: another
    // organisation, or the maker's name only in CN and OU.
    for (const char* other : {OTHER_PUBLISHER_MARK_PROGRAM, MAKER_NAME_ELSEWHERE_MARK_PROGRAM}) {
        check = VerifySignatureAndWait(CopyOf(other, "other.exe").c_str());
        EXPECT_EQ(SignatureTrust::OtherPublisher, check.m_trust) << other;
        EXPECT_EQ(0, check.m_lResult);
    }

    check = VerifySignatureAndWait(CopyOf(MARK_PROGRAM, "unsigned.exe").c_str());
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
    SignatureReport check = VerifySignatureAndWait(changed.c_str());
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(TRUST_E_BAD_DIGEST, check.m_lResult);

    // Windows fails the verification itself; a system that lets it pass
    // still shows the untrusted root in the signer's chain.
    check = VerifySignatureAndWait(CopyOf(UNTRUSTED_MARK_PROGRAM, "untrusted.exe").c_str());
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_TRUE(check.m_lResult != 0 || check.m_dwChainStatus != 0);

    // A trusted file that another program holds open without sharing.
    HANDLE locked = CreateFileA(m_signed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    check = VerifySignatureAndWait(m_signed.c_str());
    CloseHandle(locked);
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(E_HANDLE, check.m_lResult);
    EXPECT_EQ(SignatureTrust::Trusted, VerifySignatureAndWait(m_signed.c_str()).m_trust);

    check = VerifySignatureAndWait((m_folder + "\\missing.exe").c_str());
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(E_HANDLE, check.m_lResult);
}

TEST_F(SignatureCheckTest, WindowsVerdictDecidesAndAHungVerificationEndsWithinTheBound)
{
    ImportPatch verify("wintrust.dll", "WinVerifyTrust", reinterpret_cast<const void*>(&WindowsWinVerifyTrust));
    ImportPatch data("wintrust.dll", "WTHelperProvDataFromStateData", reinterpret_cast<const void*>(&ProviderData));
    ImportPatch signer("wintrust.dll", "WTHelperGetProvSignerFromChain", reinterpret_cast<const void*>(&FirstSigner));
    ASSERT_TRUE(verify.Applied() && data.Applied() && signer.Applied());
    // The chain's own certificate is the maker's.
    const std::string der = ReadWholeFile(WindowsPath(TEST_SIGNER_CERTIFICATE));
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    ASSERT_NE(nullptr, certificate);
    CERT_CHAIN_ELEMENT element{};
    element.pCertContext = certificate;
    PCERT_CHAIN_ELEMENT elements[] = {&element};
    CERT_SIMPLE_CHAIN simple{};
    simple.cElement = 1;
    simple.rgpElement = elements;
    PCERT_SIMPLE_CHAIN chains[] = {&simple};
    s_chain.cChain = 1;
    s_chain.rgpChain = chains;
    s_signer.cbStruct = sizeof s_signer;
    s_signer.pChainContext = &s_chain;
    // The digest the signature covers, as the provider data holds it: the pinned one.
    s_provider.cbStruct = sizeof s_provider;
    s_provider.pPDSip = &s_sip;
    s_sip.cbStruct = sizeof s_sip;
    s_sip.psIndirectData = &s_indirectData;
    s_indirectData.DigestAlgorithm.pszObjId = s_sha256;
    s_indirectData.Digest.cbData = INSTALLER_DIGEST_SIZE;
    s_indirectData.Digest.pbData = const_cast<BYTE*>(PINNED_INSTALLER_DIGEST);
    // Revoked signer or intermediate: blocked. A revocation server that
    // cannot be reached: the policy's verdict, accepted with the offline
    // bits or refused with its own result.
    for (const auto& [lResult, dwChain, expected] : std::initializer_list<std::tuple<LONG, DWORD, SignatureTrust>>{
             {0, CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_REVOCATION_STATUS_UNKNOWN, SignatureTrust::Trusted},
             {0, CERT_TRUST_IS_UNTRUSTED_ROOT, SignatureTrust::NotTrusted},
             {0, CERT_TRUST_IS_REVOKED, SignatureTrust::Blocked},
             {TRUST_E_EXPLICIT_DISTRUST, 0, SignatureTrust::Blocked},
             {CERT_E_REVOKED, 0, SignatureTrust::Blocked},
             {CRYPT_E_REVOKED, 0, SignatureTrust::Blocked},
             {CRYPT_E_REVOCATION_OFFLINE, 0, SignatureTrust::NotTrusted},
             {CRYPT_E_NO_REVOCATION_CHECK, 0, SignatureTrust::NotTrusted}}) {
        s_lVerdict = lResult;
        s_chain.TrustStatus.dwErrorStatus = dwChain;
        EXPECT_EQ(expected, VerifySignatureAndWait(m_signed.c_str()).m_trust) << std::hex << lResult << " " << dwChain;
        EXPECT_EQ(0u, s_dwProvFlags & WTD_CACHE_ONLY_URL_RETRIEVAL) << "missing chain certificates may be fetched";
        EXPECT_EQ(0x4000u /* WTD_MOTW */, s_dwProvFlags & 0x4000u) << "the file carries the Mark of the Web";
        EXPECT_EQ(DWORD(WTD_REVOKE_WHOLECHAIN), s_dwRevocationChecks);
        EXPECT_EQ(DWORD(WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT),
                  s_dwProvFlags & (WTD_REVOCATION_CHECK_NONE | WTD_REVOCATION_CHECK_END_CERT |
                                   WTD_REVOCATION_CHECK_CHAIN | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT));
    }
    // Exactly one O and one C, both the maker's; then a SHA-256 digest equal
    // to the pin, and a certificate table that holds the signature alone.
    const BYTE pin[INSTALLER_DIGEST_SIZE] = {1, 2, 3}, other[INSTALLER_DIGEST_SIZE] = {1, 2, 4};
    const auto maker = [&] {
        SignatureFacts facts;
        facts.organizations = facts.countries = {1, 1};
        facts.pszDigestAlgorithm = s_sha256;
        facts.pbDigest = pin;
        facts.cbDigest = INSTALLER_DIGEST_SIZE;
        facts.bCertificateTableExact = true;
        return facts;
    };
    for (const auto& [organizations, countries, expected] :
         std::initializer_list<std::tuple<NameValues, NameValues, bool>>{{{1, 1}, {1, 1}, true},
                                                                         {{2, 2}, {1, 1}, false},
                                                                         {{2, 1}, {1, 1}, false},
                                                                         {{1, 1}, {1, 0}, false},
                                                                         {{1, 1}, {0, 0}, false},
                                                                         {{1, 0}, {1, 1}, false}}) {
        SignatureFacts facts = maker();
        facts.organizations = organizations;
        facts.countries = countries;
        EXPECT_EQ(expected ? SignatureTrust::Trusted : SignatureTrust::OtherPublisher, SignatureVerdict(facts, pin));
    }
    for (const auto& [change, expected] : std::initializer_list<std::pair<void (*)(SignatureFacts&), SignatureTrust>>{
             {[](SignatureFacts& f) { f.pszDigestAlgorithm = "1.3.14.3.2.26"; }, SignatureTrust::OtherInstaller},
             {[](SignatureFacts& f) { f.cbDigest = 20; }, SignatureTrust::OtherInstaller},
             {[](SignatureFacts& f) { f.bCertificateTableExact = false; }, SignatureTrust::ChangedAfterSigning}}) {
        SignatureFacts facts = maker();
        change(facts);
        EXPECT_EQ(expected, SignatureVerdict(facts, pin));
    }
    SignatureFacts otherImage = maker();
    otherImage.pbDigest = other;
    EXPECT_EQ(SignatureTrust::OtherInstaller, SignatureVerdict(otherImage, pin));
    const BYTE none[INSTALLER_DIGEST_SIZE] = {};
    EXPECT_EQ(SignatureTrust::OtherInstaller, SignatureVerdict(maker(), none)) << "a build without a pin";
    SignatureFacts facts, cut;
    const CERT_NAME_BLOB& subject = certificate->pCertInfo->Subject;
    EXPECT_TRUE(ReadSubjectName(subject.pbData, subject.cbData, facts));
    EXPECT_TRUE(facts.organizations.nMaker == 1 && facts.countries.nMaker == 1);
    const BYTE notAName[] = {0x04, 0x02, 'J', 'P'};
    EXPECT_FALSE(ReadSubjectName(notAName, sizeof notAName, cut)) << "an octet string";
    CertFreeCertificateContext(certificate);

    // A fetch that never returns ends within the bound; the verification
    // still reads its own handle and closes its state when it ends later.
    s_lVerdict = 0;
    s_hHang = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const LONG closed = s_nClosed;
    const DWORD start = GetTickCount();
    const SignatureReport check = VerifySignatureAndWait(m_signed.c_str(), 500);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(SignatureTrust::NotTrusted, check.m_trust);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_TIMEOUT), check.m_lResult);
    SetEvent(s_hHang);
    for (int i = 0; i < 500 && s_nClosed == closed; ++i) Sleep(10);
    EXPECT_EQ(closed + 1, s_nClosed);
    EXPECT_EQ(DWORD(FILE_TYPE_DISK), s_dwFileType);
    CloseHandle(s_hHang);
    s_hHang = nullptr;
}

}  // namespace
