#include "tests/support/TrustedRoot.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

std::vector<BYTE> ReadCertificate(const std::string& derFile)
{
    std::vector<BYTE> der;
    FILE* file = std::fopen(derFile.c_str(), "rb");
    if (!file) return der;
    BYTE chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) der.insert(der.end(), chunk, chunk + got);
    std::fclose(file);
    return der;
}

HCERTSTORE OpenMachineRoots()
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
}

}  // namespace

TrustedRoot::TrustedRoot(const std::string& derFile) : m_derFile(derFile), m_trusted(Trust(derFile)) {}

TrustedRoot::~TrustedRoot()
{
    Distrust(m_derFile);
}

bool TrustedRoot::Trust(const std::string& derFile)
{
    const std::vector<BYTE> der = ReadCertificate(derFile);
    if (der.empty()) return false;
    HCERTSTORE store = OpenMachineRoots();
    if (!store) return false;
    const bool added =
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    CertCloseStore(store, 0);
    return added;
}

bool TrustedRoot::Distrust(const std::string& derFile)
{
    const std::vector<BYTE> der = ReadCertificate(derFile);
    PCCERT_CONTEXT root =
        der.empty() ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (!root) return false;
    BYTE thumbprint[20];
    DWORD size = sizeof thumbprint;
    const bool hashed = CertGetCertificateContextProperty(root, CERT_SHA1_HASH_PROP_ID, thumbprint, &size) != FALSE;
    CertFreeCertificateContext(root);
    if (!hashed) return false;

    if (HCERTSTORE store = OpenMachineRoots()) {
        CRYPT_HASH_BLOB hash{size, thumbprint};
        // Deleting frees the context found.
        if (PCCERT_CONTEXT found =
                CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr))
            CertDeleteCertificateFromStore(found);
        CertCloseStore(store, 0);
    }
    // Wine removes the root from the open store only and keeps it in the
    // registry, where the store keeps each certificate under its thumbprint.
    std::string key = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
    for (BYTE byte : thumbprint) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", byte);
        key += hex;
    }
    const LONG deleted = RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}
