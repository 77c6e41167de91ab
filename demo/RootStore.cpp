// Makes the system trust the demo's root certificate for the demo run, or
// removes it again:
//   root_store trust <root certificate (DER)>
//   root_store distrust <root certificate (DER)>
#include <cstdio>
#include <cstring>

#include "tests/support/TrustedRoot.h"

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "trust") == 0) return TrustedRoot::Trust(argv[2]) ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "distrust") == 0) return TrustedRoot::Distrust(argv[2]) ? 0 : 1;
    fprintf(stderr, "usage: root_store trust|distrust <root certificate>\n");
    return 2;
}
