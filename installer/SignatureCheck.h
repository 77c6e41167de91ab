#pragma once
// Whether the Authenticode signature of a downloaded file confirms that the
// maker published it, checked before the file is started.
#include <windows.h>

#include <memory>

#include "framework/CHandle.h"

enum class SignatureTrust {
    Trusted,              // the one installer of this program, signed by the maker, unchanged
                          // since, under a root the system trusts
    OtherPublisher,       // validly signed, but by someone other than the maker
    OtherInstaller,       // signed by the maker, but not the installer this program hands out
    ChangedAfterSigning,  // data added inside the signature's certificate table
    NotSigned,            // carries no signature at all
    NotTrusted,           // anything else, a file that could not be checked in time included
    Blocked,              // Windows refuses it: its signer is distrusted or revoked, or the
                          // administrator's policy forbids it
};

// What one verification found: the verdict and the system's answers it was
// drawn from.
struct SignatureReport {
    SignatureTrust m_trust;
    // What WinVerifyTrust returned; E_HANDLE when there was no open file to
    // check, another error that kept the verification from starting as an
    // HRESULT; HRESULT_FROM_WIN32(ERROR_TIMEOUT) when the verification did
    // not end in time.
    LONG m_lResult;
    // After a successful verification, the error bits of the signer's
    // certificate chain (CERT_TRUST_*); 0xFFFFFFFF when there was no chain
    // to read (NO_SIGNER_CHAIN), 0 when the verification failed before.
    DWORD m_dwChainStatus;
};

// The maker's identity: the one organisation (O) and the one country (C)
// in the subject of the certificate that signs its installers. ASCII, so
// that a value of any of the directory string kinds compares with it.
constexpr char MAKER_ORGANIZATION[] = u8"ZEMBRA Co., Ltd.";
constexpr char MAKER_COUNTRY[] = u8"JP";

// The values of one attribute type in a certificate's subject.
struct NameValues {
    int nCount = 0;
    int nMaker = 0;
};

// The one installer this program starts unasked: the SHA-256 digest of its
// signed image (the Authenticode digest, which leaves out the signature and
// the header checksum, so that signing it again keeps it). A build setting
// (INSTALLER_SHA256); all zero, and matching nothing, in a build without one.
constexpr size_t INSTALLER_DIGEST_SIZE = 32;
extern const BYTE PINNED_INSTALLER_DIGEST[INSTALLER_DIGEST_SIZE];

// What the system's verification reported, as plain values.
struct SignatureFacts {
    LONG lResult = 0;         // WinVerifyTrust's result
    DWORD dwReason = 0;       // the last error it left behind
    DWORD dwChainStatus = 0;  // the signer's chain bits (CERT_TRUST_*)
    // The signer certificate subject's O and C values: how many there are,
    // and how many of them are the maker's.
    NameValues organizations, countries;
    // The digest the primary signature covers, and its algorithm's OID.
    const char* pszDigestAlgorithm = nullptr;
    const BYTE* pbDigest = nullptr;
    DWORD cbDigest = 0;
    // Whether the certificate table holds the signature and nothing else.
    bool bCertificateTableExact = false;
};

// The chain bits when there was no signer chain to read.
constexpr DWORD NO_SIGNER_CHAIN = 0xFFFFFFFF;

// The verdict on `facts`: Windows' own first, then the certificate table,
// the maker's identity and the installer pinned as `pinnedDigest`.
SignatureTrust SignatureVerdict(const SignatureFacts& facts, const BYTE* pinnedDigest = PINNED_INSTALLER_DIGEST);

// Counts the O and C values of the DER-encoded X.500 name `name` (a
// certificate's subject) into `facts`. False when the name cannot be read.
bool ReadSubjectName(const BYTE* name, size_t size, SignatureFacts& facts);

// Whether the certificate table of the PE file open as `file` holds exactly
// one Authenticode WIN_CERTIFICATE, as long as its PKCS#7 signature, and at
// most 7 zero bytes of alignment after it, and ends the file. Windows checks
// this only where the administrator turned EnableCertPaddingCheck on.
bool CertificateTableIsExact(HANDLE file);

// How long the verification may take from its start. Building the chain
// may fetch a missing certificate or a revocation list, and each fetch has a
// time-out of its own of about 15 seconds in Windows' chain engine.
constexpr DWORD SIGNATURE_CHECK_TIMEOUT_MS = 30000;

// A verification of the file open as `file` (with read access), which was
// opened as `path`, with the system's Authenticode policy and revocation
// checks, without user interface, on a thread of its own. The file is read
// through a duplicate handle, so the verdict is about the file the caller
// holds; the caller may close its handle at any time, and the duplicate
// holds the file until the verification ends. A verification that
// has not ended `timeoutMs` after its start counts as not trusted (it then
// finishes on its own in the background).
class CSignatureVerification {
public:
    CSignatureVerification(HANDLE file, LPCWSTR path, DWORD timeoutMs = SIGNATURE_CHECK_TIMEOUT_MS);
    CSignatureVerification(const CSignatureVerification&) = delete;
    CSignatureVerification& operator=(const CSignatureVerification&) = delete;

    bool IsDone() const;
    // Dispatches this thread's messages (through IsDialogMessageW for
    // `dialog`, when given) until the verdict is in, the time is up, or
    // `*stop` turns true; a WM_QUIT taken meanwhile is put back for the
    // caller's loop. True when the verdict is in.
    bool Wait(HWND dialog = nullptr, const bool* stop = nullptr) const;
    // The verdict; not trusted while the verification still runs.
    SignatureReport Result() const;

private:
    struct Verification;
    static DWORD WINAPI ThreadProc(LPVOID parameter);

    std::shared_ptr<Verification> m_verification;
    CHandle m_thread;
    DWORD m_dwStart;
    DWORD m_dwTimeoutMs;
    SignatureReport m_failure{SignatureTrust::NotTrusted, 0, 0};
};

// Starts a verification and waits for it, keeping this thread's windows
// responsive.
SignatureReport VerifySignatureAndWait(HANDLE file, LPCWSTR path, DWORD timeoutMs = SIGNATURE_CHECK_TIMEOUT_MS);
