// The campaigns' test program. Started with --registry-writer it is instead one of the
// registry campaign's writers (registry_writers_test.cpp).
#include <gtest/gtest.h>

#include <cstring>

int RunRegistryWriter(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--registry-writer") == 0) return RunRegistryWriter(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
