#include "installer/SignatureCheck.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstring>
#include <new>

#include "framework/CStringW.h"
#include "framework/WorkerThreads.h"

namespace {

// After WinVerifyTrust has accepted a file, the chain bits that still mean
// "no trusted root or an invalid chain". A chain it accepts may carry bits
// that the policy tolerates (revocation offline or unknown, weak-signature
// flags, a signer certificate that expired after a valid timestamp): those
// are left alone. Some systems other than Windows accept a signature under
// a root they do not trust; these bits still tell.
constexpr DWORD REJECTED_CHAIN_BITS = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                      CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_REVOKED |
                                      CERT_TRUST_IS_EXPLICIT_DISTRUST;
constexpr DWORD REFUSED_CHAIN_BITS = CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_EXPLICIT_DISTRUST;

SignatureTrust WindowsVerdict(LONG lResult, DWORD dwReason, DWORD dwChainStatus)
{
    switch (lResult) {
        case 0:
            if (dwChainStatus == NO_SIGNER_CHAIN) return SignatureTrust::NotTrusted;
            if (dwChainStatus & REFUSED_CHAIN_BITS) return SignatureTrust::Blocked;
            return (dwChainStatus & REJECTED_CHAIN_BITS) ? SignatureTrust::NotTrusted : SignatureTrust::Trusted;
        case TRUST_E_NOSIGNATURE: {
            // The same result stands for a signature that is there but cannot
            // be read; the reason left behind tells the two apart.
            const LONG lReason = static_cast<LONG>(dwReason);
            return lReason == TRUST_E_NOSIGNATURE || lReason == TRUST_E_SUBJECT_FORM_UNKNOWN ||
                           lReason == TRUST_E_PROVIDER_UNKNOWN
                       ? SignatureTrust::NotSigned
                       : SignatureTrust::NotTrusted;
        }
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
            // A file of a kind that cannot carry a signature.
            return SignatureTrust::NotSigned;
        case TRUST_E_EXPLICIT_DISTRUST:
        case CERT_E_REVOKED:
        case CRYPT_E_REVOKED:
        case CRYPT_E_SECURITY_SETTINGS:
            return SignatureTrust::Blocked;
    }
    // An unreachable revocation server included: the policy has not accepted
    // the file, and the user decides.
    return SignatureTrust::NotTrusted;
}

// One DER element at `at`: its tag and contents; `at` moves past it.
bool ReadElement(const BYTE*& at, const BYTE* end, BYTE& tag, const BYTE*& contents, size_t& length)
{
    if (end - at < 2) return false;
    tag = *at++;
    length = *at++;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > sizeof(DWORD) || static_cast<size_t>(end - at) < bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = (length << 8) | *at++;
    }
    if (length > static_cast<size_t>(end - at)) return false;
    contents = at;
    at += length;
    return true;
}

// Whether a directory string of kind `tag` holds exactly the ASCII text
// `expected`. Kinds other than UTF-8, printable, IA5 and BMP strings equal
// no text.
bool DirectoryStringIs(BYTE tag, const BYTE* contents, size_t length, const char* expected)
{
    const size_t size = std::strlen(expected);
    switch (tag) {
        case 0x0C:  // UTF8String
        case 0x13:  // PrintableString
        case 0x16:  // IA5String
            return length == size && std::memcmp(contents, expected, size) == 0;
        case 0x1E:  // BMPString: UTF-16, big-endian
            if (length != 2 * size) return false;
            for (size_t i = 0; i < size; ++i)
                if (contents[2 * i] != 0 || contents[2 * i + 1] != static_cast<BYTE>(expected[i])) return false;
            return true;
    }
    return false;
}

void CountValue(NameValues& values, BYTE tag, const BYTE* contents, size_t length, const char* maker)
{
    ++values.nCount;
    if (DirectoryStringIs(tag, contents, length, maker)) ++values.nMaker;
}

}  // namespace

SignatureTrust SignatureVerdict(const SignatureFacts& facts)
{
    const SignatureTrust trust = WindowsVerdict(facts.lResult, facts.dwReason, facts.dwChainStatus);
    if (trust != SignatureTrust::Trusted) return trust;
    const bool maker = facts.organizations.nCount == 1 && facts.organizations.nMaker == 1 &&
                       facts.countries.nCount == 1 && facts.countries.nMaker == 1;
    return maker ? SignatureTrust::Trusted : SignatureTrust::OtherPublisher;
}

bool ReadSubjectName(const BYTE* name, size_t size, SignatureFacts& facts)
{
    // Name ::= SEQUENCE OF SET OF SEQUENCE { type OBJECT IDENTIFIER, value }
    static const BYTE ORGANIZATION_OID[] = {0x55, 0x04, 0x0A}, COUNTRY_OID[] = {0x55, 0x04, 0x06};
    const BYTE* at = name;
    BYTE tag;
    const BYTE* rdns;
    size_t rdnsLength;
    if (!name || !ReadElement(at, name + size, tag, rdns, rdnsLength) || tag != 0x30) return false;
    for (const BYTE *rdn = rdns, *rdnsEnd = rdns + rdnsLength; rdn < rdnsEnd;) {
        const BYTE* attributes;
        size_t attributesLength;
        if (!ReadElement(rdn, rdnsEnd, tag, attributes, attributesLength) || tag != 0x31) return false;
        for (const BYTE *attribute = attributes, *end = attributes + attributesLength; attribute < end;) {
            const BYTE *pair, *oid, *value;
            size_t pairLength, oidLength, valueLength;
            BYTE valueTag;
            if (!ReadElement(attribute, end, tag, pair, pairLength) || tag != 0x30) return false;
            const BYTE* pairEnd = pair + pairLength;
            if (!ReadElement(pair, pairEnd, tag, oid, oidLength) || tag != 0x06 ||
                !ReadElement(pair, pairEnd, valueTag, value, valueLength))
                return false;
            const auto is = [&](const BYTE(&known)[3]) { return oidLength == 3 && memcmp(oid, known, 3) == 0; };
            if (is(ORGANIZATION_OID)) CountValue(facts.organizations, valueTag, value, valueLength, MAKER_ORGANIZATION);
            if (is(COUNTRY_OID)) CountValue(facts.countries, valueTag, value, valueLength, MAKER_COUNTRY);
        }
    }
    return true;
}

// One verification, shared by the check and the thread that runs it: a
// verification that outlives its check still finishes, closes its state and
// its own handle to the file.
struct CSignatureCheck::Verification {
    explicit Verification(LPCWSTR path) : m_path(path) {}

    CHandle m_file;
    CStringW m_path;
    SignatureCheck m_check{SignatureTrust::NotTrusted, 0, 0};
};

namespace {

// The chain bits and subject of the first signer's certificate, as the
// trust provider built its chain.
void ReadSigner(HANDLE hStateData, SignatureFacts& facts)
{
    facts.dwChainStatus = NO_SIGNER_CHAIN;
    CRYPT_PROVIDER_DATA* pProvider = ::WTHelperProvDataFromStateData(hStateData);
    CRYPT_PROVIDER_SGNR* pSigner = pProvider ? ::WTHelperGetProvSignerFromChain(pProvider, 0, FALSE, 0) : nullptr;
    if (!pSigner || !WVT_ISINSTRUCT(CRYPT_PROVIDER_SGNR, pSigner->cbStruct, pChainContext) || !pSigner->pChainContext)
        return;
    const CERT_CHAIN_CONTEXT* pChain = pSigner->pChainContext;
    facts.dwChainStatus = pChain->TrustStatus.dwErrorStatus;
    // The first element of the first simple chain is the signer's own.
    if (pChain->cChain == 0 || pChain->rgpChain[0]->cElement == 0) return;
    const CERT_INFO* pInfo = pChain->rgpChain[0]->rgpElement[0]->pCertContext->pCertInfo;
    if (!ReadSubjectName(pInfo->Subject.pbData, pInfo->Subject.cbData, facts))
        facts.organizations = facts.countries = NameValues();
}

SignatureCheck Verify(HANDLE hFile, LPCWSTR path)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    file.hFile = hFile;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    // Revocation of the signer and of every intermediate is checked; the
    // root stands as the store holds it. Whether an unreachable revocation
    // server fails the file is the system policy's decision. Missing chain
    // certificates may be fetched; the wait is bounded by the caller.
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND hNoUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    SignatureFacts facts;
    facts.lResult = ::WinVerifyTrust(hNoUser, &action, &data);
    facts.dwReason = ::GetLastError();
    SignatureCheck check{SignatureTrust::NotTrusted, facts.lResult, 0};
    if (facts.lResult == 0) ReadSigner(data.hWVTStateData, facts);
    check.m_trust = SignatureVerdict(facts);
    check.m_dwChainStatus = facts.lResult == 0 ? facts.dwChainStatus : 0;
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(hNoUser, &action, &data);
    return check;
}

}  // namespace

DWORD WINAPI CSignatureCheck::ThreadProc(LPVOID parameter)
{
    std::shared_ptr<Verification>* verification = static_cast<std::shared_ptr<Verification>*>(parameter);
    (*verification)->m_check = Verify((*verification)->m_file, (*verification)->m_path);
    delete verification;
    return 0;
}

CSignatureCheck::CSignatureCheck(HANDLE file, LPCWSTR path, DWORD timeoutMs)
    : m_dwStart(::GetTickCount()), m_dwTimeoutMs(timeoutMs)
{
    if (!path) {
        m_failure.m_lResult = E_INVALIDARG;
        return;
    }
    // A file that could not be opened is never mistaken for one without a
    // signature. (INVALID_HANDLE_VALUE is also the pseudo-handle of this
    // process, which DuplicateHandle would accept.)
    if (file == INVALID_HANDLE_VALUE || !file) {
        m_failure.m_lResult = E_HANDLE;
        return;
    }
    const HANDLE process = ::GetCurrentProcess();
    CHandle duplicate;
    if (!::DuplicateHandle(process, file, process, &duplicate.m_h, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        m_failure.m_lResult = HRESULT_FROM_WIN32(::GetLastError());
        return;
    }
    std::shared_ptr<Verification>* parameter = nullptr;
    try {
        m_verification = std::make_shared<Verification>(path);
        parameter = new std::shared_ptr<Verification>(m_verification);
    } catch (const std::bad_alloc&) {
        m_verification.reset();
        m_failure.m_lResult = E_OUTOFMEMORY;
        return;
    }
    m_verification->m_file.Attach(duplicate.Detach());
    m_thread.Attach(StartWorkerThread(ThreadProc, parameter));
    if (!m_thread.IsValid()) {
        m_failure.m_lResult = HRESULT_FROM_WIN32(::GetLastError());
        delete parameter;
    }
}

bool CSignatureCheck::IsDone() const
{
    return !m_thread.IsValid() || ::WaitForSingleObject(m_thread, 0) == WAIT_OBJECT_0;
}

bool CSignatureCheck::Wait(HWND dialog, const bool* stop) const
{
    bool quit = false;
    int quitCode = 0;
    while (!IsDone() && !(stop && *stop)) {
        const DWORD elapsed = ::GetTickCount() - m_dwStart;
        if (elapsed >= m_dwTimeoutMs) break;
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &m_thread.m_h, FALSE, m_dwTimeoutMs - elapsed, QS_ALLINPUT);
        if (wait == WAIT_FAILED) break;
        if (wait != WAIT_OBJECT_0 + 1) continue;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(message.wParam);
            } else if (!dialog || !::IsDialogMessageW(dialog, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
    }
    if (quit) ::PostQuitMessage(quitCode);
    return IsDone();
}

SignatureCheck CSignatureCheck::Result() const
{
    if (!m_thread.IsValid()) return m_failure;
    if (IsDone()) return m_verification->m_check;
    return SignatureCheck{SignatureTrust::NotTrusted, HRESULT_FROM_WIN32(ERROR_TIMEOUT), 0};
}

SignatureCheck CheckSignature(HANDLE file, LPCWSTR path, DWORD timeoutMs)
{
    CSignatureCheck check(file, path, timeoutMs);
    check.Wait();
    return check.Result();
}
