#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

// Wine's exit status is not trustworthy (cut to 8 bits, and a crash has been
// seen to end with 0), so the runner also looks for this last line.
int main(int argc, char** argv)
{
    ::testing::InitGoogleMock(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::printf("WARDLINE-TEST-EXIT %d\n", result);
    std::fflush(stdout);
    return result;
}
