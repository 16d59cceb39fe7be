// Test entry point: either a child mode ("--ka-child=<mode> ...", started by
// a test of the same executable) or the GoogleTest run.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const char* prefix = "--ka-child=";
    if (argc >= 2 && std::strncmp(argv[1], prefix, std::strlen(prefix)) == 0) {
        std::string mode = argv[1] + std::strlen(prefix);
        auto it = katest::ChildModes().find(mode);
        if (it == katest::ChildModes().end()) {
            std::fprintf(stderr, "unknown child mode %s\n", mode.c_str());
            return 250;
        }
        // The arguments after the mode, as the wide command line has them.
        std::wstring line = ::GetCommandLineW();
        size_t at = line.find(L"--ka-child=");
        size_t space = line.find(L' ', at);
        std::wstring args = space == std::wstring::npos ? L"" : line.substr(space + 1);
        return it->second(args);
    }
    testing::InitGoogleTest(&argc, argv);
    katest::InstallLeakCheck();
    return RUN_ALL_TESTS();
}
