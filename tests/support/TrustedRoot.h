#pragma once
// Makes the system trust a test root certificate: it goes into the local
// machine's root store, which lives in the registry, so that every process
// of the same system (Wine prefix) trusts it from its next verification.
#include <string>

class TrustedRoot {
public:
    // Trusts the root in `derFile` (a Windows path) until the object goes.
    explicit TrustedRoot(const std::string& derFile);
    ~TrustedRoot();
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;

    bool trusted() const { return m_trusted; }

    static bool Trust(const std::string& derFile);
    // Removes the root from the store; true when it is no longer there.
    static bool Distrust(const std::string& derFile);

private:
    std::string m_derFile;
    bool m_trusted;
};
