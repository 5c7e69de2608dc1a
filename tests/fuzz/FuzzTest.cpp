// Every registered target gets two tests: its mutated inputs (a fixed count
// in make test, as long as asked in a long run) and the replay of its corpus,
// the inputs that once found a fault.

#include "Fuzz.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{

std::vector<std::string> targetNames()
{
    std::vector<std::string> names;
    for (const auto& entry : WardlineFuzz::targets())
    {
        names.push_back(entry.name);
    }
    return names;
}

class FuzzTarget : public ::testing::TestWithParam<std::string>
{
};

TEST_P(FuzzTarget, MutatedInputsEndWithADocumentedResult)
{
    const WardlineFuzz::RunResult result = WardlineFuzz::runTarget(GetParam());
    std::printf("fuzz %s: %llu inputs\n", GetParam().c_str(), static_cast<unsigned long long>(result.inputs));
    EXPECT_FALSE(result.failed) << result.report;
}

TEST_P(FuzzTarget, CorpusReplays)
{
    const WardlineFuzz::RunResult result = WardlineFuzz::replayCorpus(GetParam());
    EXPECT_FALSE(result.failed) << result.report;
}

std::string testName(const ::testing::TestParamInfo<std::string>& info)
{
    std::string name;
    for (char c : info.param)
    {
        name += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzTarget, ::testing::ValuesIn(targetNames()), testName);

} // namespace
