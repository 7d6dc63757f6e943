// How many threads check a pack.
#include <gtest/gtest.h>

#include <ios>

#include "verify_all.h"

namespace {

TEST(VerifyThreadCount, OneThreadPerUsableProcessorUpToEightAndOneOnASeekingDisk) {
    const struct {
        DWORD_PTR affinityMask;
        SeekPenalty penalty;
        int threads;
    } cases[] = {
        {0x1, SeekPenalty::kNone, 1},
        {0x3, SeekPenalty::kNone, 2},
        {0x50, SeekPenalty::kNone, 2},  // the processors the process may use, wherever they are
        {0xFF, SeekPenalty::kNone, 8},
        {0xFFFFF, SeekPenalty::kNone, 8},
        {0xF, SeekPenalty::kIncurred, 1},
        {0xF, SeekPenalty::kUnknown, 4},  // a disk that cannot be asked counts as one without penalty
    };
    for (const auto& c : cases)
        EXPECT_EQ(VerifyThreadCount(c.affinityMask, c.penalty), c.threads)
            << std::hex << c.affinityMask << " " << static_cast<int>(c.penalty);
}

}  // namespace
