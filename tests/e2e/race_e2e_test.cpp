// Races between requests on the same upload or the same repository, each
// run for a bounded number of rounds through one web server (both racing
// requests on the same one; scripts/scaleout_test.sh runs the same races
// with each request on another node). What each race checks is described
// in race_scenarios.h. Each test prints a figure line
// ("race <name>: rounds=R anomalies=A").
#include <cstdio>

#include "race_scenarios.h"

using namespace e2e;

namespace {

class RaceTest : public LighttpdTest {
protected:
    void report(const char *name, const races::Outcome &outcome)
    {
        printf("race %s: rounds=%d anomalies=%d%s\n", name, outcome.rounds, bad_.count.load(), outcome.figures.c_str());
        fflush(stdout);
        EXPECT_GT(outcome.rounds, 0) << bad_.text();
        EXPECT_EQ(bad_.count.load(), 0) << bad_.text();
    }

    Anomalies bad_;
};

TEST_F(RaceTest, FinishVersusAppend)
{
    // Sanitized programs get a smaller body rather than fewer rounds: their
    // slower hashing keeps the window as wide, and the rounds are what sweep
    // the PATCHes across it.
    const size_t size = (size_t(24) << 20) / kRobustScaleDiv;
    report("finish-vs-append", races::finish_versus_append(port_, port_, "race/finish", size, 14, bad_));
}

TEST_F(RaceTest, DuplicateChunkAtTheSameOffset)
{
    // Large enough that the two appends overlap, small enough that a round
    // stays cheap also under sanitizers, which get as many rounds.
    report("duplicate-chunk", races::duplicate_chunk(port_, port_, "race/chunks", size_t(1) << 20, 60, bad_));
}

TEST_F(RaceTest, TagDeletedWhileTheManifestIsTaggedAgain)
{
    report("lost-tag", races::lost_tag(port_, port_, "race/tags", 3, 80 / kRobustScaleDiv, bad_));
}

} // namespace
