// Status names and the fault injector that the other tests lean on.
#include <gtest/gtest.h>

#include "QxLMemory.h"
#include "QxLStatus.h"

TEST(Status, NamesKnownCodes) {
    EXPECT_STREQ(QxLStatusName(kStatusNoMemory), "kStatusNoMemory");
    EXPECT_STREQ(QxLStatusName(kStatusEnded), "kStatusEnded");
    EXPECT_EQ(QxLStatusName(-1), nullptr);
    EXPECT_EQ(QxLStatusName(10035), nullptr);
}

TEST(Memory, CountdownFailsExactlyTheNthAllocation) {
    QxLFailAllocationAfter(3);
    void* a = QxLAlloc(8);
    void* b = QxLAlloc(8);
    EXPECT_FALSE(QxLAllocationFailureTriggered());
    void* c = QxLAlloc(8);
    void* d = QxLAlloc(8);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_TRUE(QxLAllocationFailureTriggered());
    QxLFree(a);
    QxLFree(b);
    QxLFree(d);
    QxLFailAllocationAfter(0);
}
