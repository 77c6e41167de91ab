#pragma once
// Whether the Authenticode signature of a downloaded file confirms who
// published it, checked before the file is started.
#include <windows.h>

enum class SignatureTrust {
    Trusted,     // signed, unchanged since, and issued under a root the system trusts
    NotSigned,   // carries no signature at all
    NotTrusted,  // anything else, a file that could not be checked in time included
    Blocked,     // Windows refuses it: its signer is distrusted or revoked, or the
                 // administrator's policy forbids it
};

struct SignatureCheck {
    SignatureTrust m_trust;
    // What WinVerifyTrust returned; E_HANDLE when there was no open file to
    // check, another error that kept the verification from starting as an
    // HRESULT; HRESULT_FROM_WIN32(ERROR_TIMEOUT) when the verification did
    // not end in time.
    LONG m_lResult;
    // After a successful verification, the error bits of the signer's
    // certificate chain (CERT_TRUST_*); 0xFFFFFFFF when there was no chain
    // to read, 0 when the verification failed before.
    DWORD m_dwChainStatus;
};

// How long the verification may take. Building the chain may fetch a
// missing intermediate or root certificate from the network (Windows
// completes its root store on demand), and each such fetch has a time-out
// of its own of about 15 seconds in Windows' chain engine; two of them fit.
constexpr DWORD SIGNATURE_CHECK_TIMEOUT_MS = 30000;

// Verifies the file open as `file` (with read access), which was opened as
// `path`, with the system's Authenticode policy, without user interface and
// without revocation checks. The file is read through the handle, so the
// verdict is about the file the caller holds, whatever `path` names by then.
// Runs the verification on a thread of its own and keeps this thread's
// windows responsive meanwhile; a verification that has not ended after
// `timeoutMs` counts as not trusted (it then finishes on its own in the
// background). That thread reads through a duplicate handle of its own: the
// caller's handle stays open until the caller closes it, and may be closed
// while a verification that outlived its wait still runs.
SignatureCheck CheckSignature(HANDLE file, LPCWSTR path, DWORD timeoutMs = SIGNATURE_CHECK_TIMEOUT_MS);

// Verifications that outlived their wait and are still running. The program
// must not end through the libraries' shutdown code while one runs: it may
// hold what that code waits for.
LONG RunningSignatureChecks();
