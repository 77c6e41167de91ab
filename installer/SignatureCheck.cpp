#include "installer/SignatureCheck.h"

#include <mssip.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "InstallerPin.h"

#include "framework/CStringW.h"
#include "framework/WorkerThreads.h"

const BYTE PINNED_INSTALLER_DIGEST[INSTALLER_DIGEST_SIZE] = INSTALLER_SHA256_BYTES;

namespace {

// WTD_MOTW, which MinGW's headers lack.
constexpr DWORD MARK_OF_THE_WEB_FLAG = 0x00004000;

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

// Whether the decoded name value `value` is a character string whose text is
// exactly the ASCII text `expected`.
bool ValueIs(const CERT_RDN_ATTR& value, const char* expected)
{
    if (!IS_CERT_RDN_CHAR_STRING(value.dwValueType)) return false;
    const size_t size = std::strlen(expected);
    const wchar_t* text = reinterpret_cast<const wchar_t*>(value.Value.pbData);
    // Windows counts the text without its terminating null, Wine with it.
    DWORD length = value.Value.cbData / sizeof(wchar_t);
    if (length && !text[length - 1]) --length;
    if (length != size) return false;
    for (size_t i = 0; i < size; ++i)
        if (text[i] != static_cast<wchar_t>(expected[i])) return false;
    return true;
}

void CountValue(NameValues& values, const CERT_RDN_ATTR& value, const char* maker)
{
    ++values.nCount;
    if (ValueIs(value, maker)) ++values.nMaker;
}

// The Authenticode digest algorithm the pin is made with.
constexpr char SHA256_OID[] = "2.16.840.1.101.3.4.2.1";

bool IsPinnedDigest(const SignatureFacts& facts, const BYTE* pinnedDigest)
{
    static const BYTE NO_PIN[INSTALLER_DIGEST_SIZE] = {};
    return facts.pszDigestAlgorithm && std::strcmp(facts.pszDigestAlgorithm, SHA256_OID) == 0 && facts.pbDigest &&
           facts.cbDigest == INSTALLER_DIGEST_SIZE && std::memcmp(pinnedDigest, NO_PIN, INSTALLER_DIGEST_SIZE) != 0 &&
           std::memcmp(facts.pbDigest, pinnedDigest, INSTALLER_DIGEST_SIZE) == 0;
}

}  // namespace

SignatureTrust SignatureVerdict(const SignatureFacts& facts, const BYTE* pinnedDigest)
{
    const SignatureTrust trust = WindowsVerdict(facts.lResult, facts.dwReason, facts.dwChainStatus);
    if (trust != SignatureTrust::Trusted) return trust;
    if (!facts.bCertificateTableExact) return SignatureTrust::ChangedAfterSigning;
    const bool maker = facts.organizations.nCount == 1 && facts.organizations.nMaker == 1 &&
                       facts.countries.nCount == 1 && facts.countries.nMaker == 1;
    if (!maker) return SignatureTrust::OtherPublisher;
    return IsPinnedDigest(facts, pinnedDigest) ? SignatureTrust::Trusted : SignatureTrust::OtherInstaller;
}

bool ReadSubjectName(const BYTE* name, size_t size, SignatureFacts& facts)
{
    CERT_NAME_INFO* info = nullptr;
    DWORD infoSize = 0;
    if (!name || size > MAXDWORD ||
        !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, name, static_cast<DWORD>(size),
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &infoSize))
        return false;
    for (DWORD rdn = 0; rdn < info->cRDN; ++rdn) {
        const CERT_RDN& attributes = info->rgRDN[rdn];
        for (DWORD i = 0; i < attributes.cRDNAttr; ++i) {
            const CERT_RDN_ATTR& attribute = attributes.rgRDNAttr[i];
            if (std::strcmp(attribute.pszObjId, szOID_ORGANIZATION_NAME) == 0)
                CountValue(facts.organizations, attribute, MAKER_ORGANIZATION);
            if (std::strcmp(attribute.pszObjId, szOID_COUNTRY_NAME) == 0)
                CountValue(facts.countries, attribute, MAKER_COUNTRY);
        }
    }
    ::LocalFree(info);
    return true;
}

namespace {

// `size` bytes at `offset` of the file open as `file`, read without moving
// the position others read from.
bool ReadAt(HANDLE file, DWORD offset, void* buffer, DWORD size)
{
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD read = 0;
    return ::ReadFile(file, buffer, size, &read, &at) && read == size;
}

// The length of the DER element at the start of `der`, header included; 0
// when it is not a whole SEQUENCE within `size` bytes.
DWORD DerSequenceLength(const BYTE* der, DWORD size)
{
    if (size < 2 || der[0] != 0x30) return 0;
    DWORD header = 2, length = der[1];
    if (length & 0x80) {
        const DWORD bytes = length & 0x7F;
        if (bytes == 0 || bytes > 3 || size < 2 + bytes) return 0;
        length = 0;
        for (DWORD i = 0; i < bytes; ++i) length = (length << 8) | der[2 + i];
        header += bytes;
    }
    return length <= size - header ? header + length : 0;
}

// A signature with its chain and a timestamp takes a few kilobytes.
constexpr DWORD MAX_CERTIFICATE_TABLE_SIZE = 1 << 20;

}  // namespace

bool CertificateTableIsExact(HANDLE file)
{
    IMAGE_DOS_HEADER dos;
    DWORD signature;
    IMAGE_FILE_HEADER header;
    WORD magic;
    if (!ReadAt(file, 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
    const DWORD headers = static_cast<DWORD>(dos.e_lfanew);
    if (!ReadAt(file, headers, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE ||
        !ReadAt(file, headers + 4, &header, sizeof header) ||
        !ReadAt(file, headers + 4 + sizeof header, &magic, sizeof magic))
        return false;
    // The optional header's data directories, after its fixed part.
    const DWORD optional = headers + 4 + sizeof header;
    DWORD directories, count;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    else
        return false;
    IMAGE_DATA_DIRECTORY table;
    if (!ReadAt(file, directories - sizeof count, &count, sizeof count) || count <= IMAGE_DIRECTORY_ENTRY_SECURITY ||
        !ReadAt(file, directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof table, &table, sizeof table))
        return false;
    LARGE_INTEGER fileSize;
    if (!::GetFileSizeEx(file, &fileSize) || table.Size > MAX_CERTIFICATE_TABLE_SIZE ||
        table.Size < sizeof(WIN_CERTIFICATE) ||
        table.VirtualAddress + ULONGLONG(table.Size) != ULONGLONG(fileSize.QuadPart))
        return false;
    std::unique_ptr<BYTE[]> bytes(new (std::nothrow) BYTE[table.Size]);
    if (!bytes || !ReadAt(file, table.VirtualAddress, bytes.get(), table.Size)) return false;
    WIN_CERTIFICATE certificate;
    std::memcpy(&certificate, bytes.get(), offsetof(WIN_CERTIFICATE, bCertificate));
    const DWORD head = offsetof(WIN_CERTIFICATE, bCertificate);
    const DWORD end = head + DerSequenceLength(bytes.get() + head, table.Size - head);
    if (certificate.wRevision != WIN_CERT_REVISION_2_0 ||
        certificate.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA || end == head || certificate.dwLength < end ||
        certificate.dwLength > table.Size || table.Size - end > 7)
        return false;
    for (DWORD i = end; i < table.Size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// One verification, shared by the check and the thread that runs it: a
// verification that outlives its check still finishes, closes its state and
// its own handle to the file.
struct CSignatureVerification::Verification {
    explicit Verification(LPCWSTR path) : m_path(path) {}

    CHandle m_file;
    CStringW m_path;
    SignatureReport m_check{SignatureTrust::NotTrusted, 0, 0};
};

namespace {

// The digest the signature covers, as the subject interface package read it
// for the verification: the file is not read a second time.
void ReadSignedDigest(const CRYPT_PROVIDER_DATA* pProvider, SignatureFacts& facts)
{
    if (!pProvider || !WVT_ISINSTRUCT(CRYPT_PROVIDER_DATA, pProvider->cbStruct, pPDSip) || !pProvider->pPDSip) return;
    const PROVDATA_SIP* pSip = pProvider->pPDSip;
    if (!WVT_ISINSTRUCT(PROVDATA_SIP, pSip->cbStruct, psIndirectData) || !pSip->psIndirectData) return;
    const SIP_INDIRECT_DATA* pData = pSip->psIndirectData;
    facts.pszDigestAlgorithm = pData->DigestAlgorithm.pszObjId;
    facts.pbDigest = pData->Digest.pbData;
    facts.cbDigest = pData->Digest.cbData;
}

// The chain bits and subject of the first signer's certificate, as the
// trust provider built its chain, and the digest it signed.
void ReadSigner(HANDLE hStateData, SignatureFacts& facts)
{
    facts.dwChainStatus = NO_SIGNER_CHAIN;
    CRYPT_PROVIDER_DATA* pProvider = ::WTHelperProvDataFromStateData(hStateData);
    ReadSignedDigest(pProvider, facts);
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

SignatureReport Verify(HANDLE hFile, LPCWSTR path)
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
    // The file carries the Mark of the Web: the policies Windows applies to
    // such files at their start apply here too (Windows 8.1 and later).
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | MARK_OF_THE_WEB_FLAG;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND hNoUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    SignatureFacts facts;
    facts.lResult = ::WinVerifyTrust(hNoUser, &action, &data);
    facts.dwReason = ::GetLastError();
    SignatureReport check{SignatureTrust::NotTrusted, facts.lResult, 0};
    if (facts.lResult == 0) {
        ReadSigner(data.hWVTStateData, facts);
        facts.bCertificateTableExact = CertificateTableIsExact(hFile);
    }
    check.m_trust = SignatureVerdict(facts);
    check.m_dwChainStatus = facts.lResult == 0 ? facts.dwChainStatus : 0;
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(hNoUser, &action, &data);
    return check;
}

}  // namespace

DWORD WINAPI CSignatureVerification::ThreadProc(LPVOID parameter)
{
    std::shared_ptr<Verification>* verification = static_cast<std::shared_ptr<Verification>*>(parameter);
    (*verification)->m_check = Verify((*verification)->m_file, (*verification)->m_path);
    delete verification;
    return 0;
}

CSignatureVerification::CSignatureVerification(HANDLE file, LPCWSTR path, DWORD timeoutMs)
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

bool CSignatureVerification::IsDone() const
{
    return !m_thread.IsValid() || ::WaitForSingleObject(m_thread, 0) == WAIT_OBJECT_0;
}

bool CSignatureVerification::Wait(HWND dialog, const bool* stop) const
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

SignatureReport CSignatureVerification::Result() const
{
    if (!m_thread.IsValid()) return m_failure;
    if (IsDone()) return m_verification->m_check;
    return SignatureReport{SignatureTrust::NotTrusted, HRESULT_FROM_WIN32(ERROR_TIMEOUT), 0};
}

SignatureReport VerifySignatureAndWait(HANDLE file, LPCWSTR path, DWORD timeoutMs)
{
    CSignatureVerification check(file, path, timeoutMs);
    check.Wait();
    return check.Result();
}
