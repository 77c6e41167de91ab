#include "download/SignatureCheck.h"

#include <softpub.h>
#include <wintrust.h>

#include <cwchar>
#include <new>

namespace {

constexpr DWORD kNoChain = 0xFFFFFFFF;

LONG g_nRunningVerifications = 0;

// After WinVerifyTrust has accepted a file, the chain bits that still mean
// "no trusted root or an invalid chain": untrusted root, partial chain,
// signature not valid, revoked, explicitly distrusted. WinVerifyTrust's
// result is the policy's verdict on Windows, and a chain it accepts may carry
// bits that the policy tolerates: revocation offline or unknown, weak
// signature flags, or a signer certificate that expired after a valid
// timestamp (the usual case for an installer signed a year or more ago).
// Those are left alone. Some systems other than Windows accept a signature
// under a root they do not trust; these bits still tell.
constexpr DWORD kRejectedChainBits = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                     CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_REVOKED |
                                     CERT_TRUST_IS_EXPLICIT_DISTRUST;

// The error bits of the first signer's certificate chain as the trust
// provider built it.
DWORD SignerChainStatus(HANDLE hStateData)
{
    CRYPT_PROVIDER_DATA* pProvider = ::WTHelperProvDataFromStateData(hStateData);
    if (!pProvider) return kNoChain;
    CRYPT_PROVIDER_SGNR* pSigner = ::WTHelperGetProvSignerFromChain(pProvider, 0, FALSE, 0);
    if (!pSigner || !WVT_ISINSTRUCT(CRYPT_PROVIDER_SGNR, pSigner->cbStruct, pChainContext) || !pSigner->pChainContext)
        return kNoChain;
    return pSigner->pChainContext->TrustStatus.dwErrorStatus;
}

// One verification, shared by the waiting thread and the thread that runs
// it. Either may be the last to let go: a verification that outlives the
// wait still finishes, closes its state and its own handle to the file, and
// frees this.
struct Verification {
    LONG m_nReferences = 2;
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    wchar_t* m_pszPath = nullptr;
    SignatureCheck m_check{SignatureTrust::NotTrusted, 0, 0};

    ~Verification()
    {
        if (m_hFile != INVALID_HANDLE_VALUE) ::CloseHandle(m_hFile);
        delete[] m_pszPath;
    }
    void Release()
    {
        if (::InterlockedDecrement(&m_nReferences) == 0) delete this;
    }
};

void Verify(Verification* verification)
{
    SignatureCheck& check = verification->m_check;
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = verification->m_pszPath;
    file.hFile = verification->m_hFile;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    // No revocation check: a missing or slow revocation server must not fail
    // a good file. Certificates missing from the chain may be fetched, as
    // Windows does for any signed program; the wait is bounded by the caller.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND hNoUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    check.m_lResult = ::WinVerifyTrust(hNoUser, &action, &data);
    const DWORD dwReason = ::GetLastError();

    switch (check.m_lResult) {
        case 0:
            check.m_dwChainStatus = SignerChainStatus(data.hWVTStateData);
            if ((check.m_dwChainStatus & kRejectedChainBits) == 0) check.m_trust = SignatureTrust::Trusted;
            break;
        case TRUST_E_NOSIGNATURE: {
            // The same result stands for a signature that is there but cannot
            // be read; the reason left behind tells the two apart.
            const LONG lReason = static_cast<LONG>(dwReason);
            if (lReason == TRUST_E_NOSIGNATURE || lReason == TRUST_E_SUBJECT_FORM_UNKNOWN ||
                lReason == TRUST_E_PROVIDER_UNKNOWN)
                check.m_trust = SignatureTrust::NotSigned;
            break;
        }
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
            // A file of a kind that cannot carry a signature.
            check.m_trust = SignatureTrust::NotSigned;
            break;
        case TRUST_E_EXPLICIT_DISTRUST:
        case CERT_E_REVOKED:
        case CRYPT_E_SECURITY_SETTINGS:
            check.m_trust = SignatureTrust::Blocked;
            break;
    }

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(hNoUser, &action, &data);
}

DWORD WINAPI VerificationThreadProc(LPVOID parameter)
{
    Verification* verification = static_cast<Verification*>(parameter);
    Verify(verification);
    verification->Release();
    ::InterlockedDecrement(&g_nRunningVerifications);
    return 0;
}

// Waits for `thread` for up to `timeoutMs`, dispatching this thread's
// messages meanwhile so that its windows stay responsive. A WM_QUIT taken
// from the queue is put back for the caller's loop.
bool WaitDispatchingMessages(HANDLE thread, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    bool quit = false;
    int quitCode = 0;
    bool ended = false;
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        if (wait != WAIT_OBJECT_0 + 1) break;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(message.wParam);
                continue;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    if (quit) ::PostQuitMessage(quitCode);
    return ended;
}

}  // namespace

LONG RunningSignatureChecks()
{
    return ::InterlockedCompareExchange(&g_nRunningVerifications, 0, 0);
}

SignatureCheck CheckSignature(HANDLE file, LPCWSTR path, DWORD timeoutMs)
{
    SignatureCheck check{SignatureTrust::NotTrusted, 0, 0};
    if (!path) {
        check.m_lResult = E_INVALIDARG;
        return check;
    }
    // A file that could not be opened is never mistaken for one without a
    // signature. (INVALID_HANDLE_VALUE is also the pseudo-handle of this
    // process, which DuplicateHandle would accept.)
    if (file == INVALID_HANDLE_VALUE) {
        check.m_lResult = E_HANDLE;
        return check;
    }
    const HANDLE process = ::GetCurrentProcess();
    HANDLE hFile = nullptr;
    if (!::DuplicateHandle(process, file, process, &hFile, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        check.m_lResult = HRESULT_FROM_WIN32(::GetLastError());
        return check;
    }

    Verification* verification = new (std::nothrow) Verification;
    const size_t length = std::wcslen(path);
    wchar_t* copy = verification ? new (std::nothrow) wchar_t[length + 1] : nullptr;
    if (!copy) {
        delete verification;
        ::CloseHandle(hFile);
        check.m_lResult = E_OUTOFMEMORY;
        return check;
    }
    std::wmemcpy(copy, path, length + 1);
    verification->m_pszPath = copy;
    verification->m_hFile = hFile;

    ::InterlockedIncrement(&g_nRunningVerifications);
    HANDLE thread = ::CreateThread(nullptr, 0, VerificationThreadProc, verification, 0, nullptr);
    if (!thread) {
        ::InterlockedDecrement(&g_nRunningVerifications);
        check.m_lResult = HRESULT_FROM_WIN32(::GetLastError());
        verification->m_nReferences = 1;
        verification->Release();
        return check;
    }
    if (WaitDispatchingMessages(thread, timeoutMs))
        check = verification->m_check;
    else
        check.m_lResult = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    ::CloseHandle(thread);
    verification->Release();
    return check;
}
