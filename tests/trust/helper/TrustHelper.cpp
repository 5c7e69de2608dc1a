// Second process for the trust tests:
//   trust_helper update <list path> <cabinet>   runs the cabinet update against
//                                              the list at <list path>
//   trust_helper check <list path> <file>       prints the list-check verdict
// Prints "result <n>" as its last line.

#include <windows.h>

#include <cstdio>

#include "trust/CabinetUpdate.h"
#include "trust/TrustValidator.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
    {
        std::printf("result -1\n");
        return 2;
    }
    Norvan::TrustValidator::Configuration config;
    config.trustedListPath = argv[2];
    config.readPlatform = false;
    Norvan::TrustValidator validator(config);
    int result = -1;
    if (wcscmp(argv[1], L"update") == 0)
    {
        validator.trustedList().load();
        result = static_cast<int>(Norvan::internal::runCabinetUpdate(argv[3], validator.trustedList()));
    }
    else if (wcscmp(argv[1], L"check") == 0)
    {
        result = static_cast<int>(validator.isFileTrusted(argv[3]));
    }
    std::printf("result %d\n", result);
    std::fflush(stdout);
    return 0;
}
