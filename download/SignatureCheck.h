#pragma once
// Whether the Authenticode signature of a downloaded file confirms who
// published it, checked before the file is started.
#include <windows.h>

enum class SignatureTrust {
    Trusted,     // signed, unchanged since, and issued under a root the system trusts
    NotSigned,   // carries no signature at all
    NotTrusted,  // anything else, a file that could not be checked included
};

struct SignatureCheck {
    SignatureTrust m_trust;
    // What WinVerifyTrust returned; when the file could not be opened, the
    // error that opening it gave, as an HRESULT.
    LONG m_lResult;
    // After a successful verification, the error bits of the signer's
    // certificate chain (CERT_TRUST_*); 0xFFFFFFFF when there was no chain
    // to read, 0 when the verification failed before.
    DWORD m_dwChainStatus;
};

// Verifies the file at `pszPath` (ANSI code page) with the system's
// Authenticode policy, without user interface and without network
// retrieval, so that it cannot hang on an unreachable server.
SignatureCheck CheckSignature(const char* pszPath);
