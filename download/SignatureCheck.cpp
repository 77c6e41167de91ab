#include "download/SignatureCheck.h"

#include <softpub.h>
#include <wintrust.h>

#include "framework/CWideText.h"

namespace {

constexpr DWORD kNoChain = 0xFFFFFFFF;

// The error bits of the first signer's certificate chain as the trust
// provider built it. Some systems verify a signature under a root they do
// not trust without complaint; the chain still tells.
DWORD SignerChainStatus(HANDLE hStateData)
{
    CRYPT_PROVIDER_DATA* pProvider = ::WTHelperProvDataFromStateData(hStateData);
    if (!pProvider) return kNoChain;
    CRYPT_PROVIDER_SGNR* pSigner = ::WTHelperGetProvSignerFromChain(pProvider, 0, FALSE, 0);
    if (!pSigner || !WVT_ISINSTRUCT(CRYPT_PROVIDER_SGNR, pSigner->cbStruct, pChainContext) || !pSigner->pChainContext)
        return kNoChain;
    return pSigner->pChainContext->TrustStatus.dwErrorStatus;
}

}  // namespace

SignatureCheck CheckSignature(const char* pszPath)
{
    SignatureCheck check{SignatureTrust::NotTrusted, 0, 0};

    if (!pszPath) {
        check.m_lResult = E_INVALIDARG;
        return check;
    }
    // The file is opened here, so that a file that cannot be read is never
    // mistaken for one without a signature; no one may write to it while
    // it is verified.
    HANDLE hFile =
        ::CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        check.m_lResult = HRESULT_FROM_WIN32(::GetLastError());
        return check;
    }
    const CWideText widePath(pszPath, CP_ACP, MB_ERR_INVALID_CHARS);
    if (!widePath.IsValid()) {
        check.m_lResult = HRESULT_FROM_WIN32(::GetLastError());
        ::CloseHandle(hFile);
        return check;
    }

    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = widePath;
    file.hFile = hFile;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    // No revocation check and nothing fetched from the network: a missing
    // or slow server must neither hang the check nor fail a good file.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND hNoUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    check.m_lResult = ::WinVerifyTrust(hNoUser, &action, &data);
    const DWORD dwReason = ::GetLastError();

    if (check.m_lResult == 0) {
        check.m_dwChainStatus = SignerChainStatus(data.hWVTStateData);
        if (check.m_dwChainStatus == 0) check.m_trust = SignatureTrust::Trusted;
    } else if (check.m_lResult == TRUST_E_NOSIGNATURE) {
        // The same result stands for a signature that is there but cannot
        // be read; the reason left behind tells the two apart.
        const LONG lReason = static_cast<LONG>(dwReason);
        if (lReason == TRUST_E_NOSIGNATURE || lReason == TRUST_E_SUBJECT_FORM_UNKNOWN ||
            lReason == TRUST_E_PROVIDER_UNKNOWN)
            check.m_trust = SignatureTrust::NotSigned;
    } else if (check.m_lResult == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        // A file of a kind that cannot carry a signature.
        check.m_trust = SignatureTrust::NotSigned;
    }

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(hNoUser, &action, &data);
    ::CloseHandle(hFile);
    return check;
}
