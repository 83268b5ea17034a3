// The remove lock and the pending-action counter, on their own.
#include "driver_fixture.h"

namespace qvtest {
namespace {

class RemoveLockTest : public ::testing::Test {
protected:
    kmodel::System system;
    REMOVE_LOCK lock;
    void SetUp() override { UTILInitializeRemoveLock(&lock, 0, 0, 0); }
};

TEST_F(RemoveLockTest, RemovalWithNoHolderReturnsAtOnce) {
    ASSERT_EQ(UTILAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);  // the removal request's own hold
    EXPECT_EQ(lock.Usage, 2);
    UTILReleaseRemoveLockAndWait(&lock, &lock);
    EXPECT_EQ(lock.Usage, 0);
    EXPECT_TRUE(lock.Removing);
    EXPECT_EQ(UTILAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Usage, 0);
}

TEST_F(RemoveLockTest, RemovalWaitsForEveryHolderWhateverTheTag) {
    int handle;
    ASSERT_EQ(UTILAcquireRemoveLock(&lock, &handle), STATUS_SUCCESS);
    ASSERT_EQ(UTILAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
    bool done = false;
    kmodel::ModelThread removal([&] {
        UTILReleaseRemoveLockAndWait(&lock, &lock);
        done = true;
    });
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(done);
    UTILReleaseRemoveLock(&lock, nullptr);  // another tag than the one acquired with
    removal.Join();
    EXPECT_TRUE(done);
}

// An acquisition that loses to the start of removal undoes its increment;
// when that undo is the last release it sets the event itself, so the
// removal is not left waiting.
TEST_F(RemoveLockTest, AcquisitionLosingToRemovalSignalsWhenLast) {
    lock.Removing = TRUE;
    lock.Usage = 0;  // the removal has already released both of its holds
    EXPECT_EQ(UTILAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Usage, 0);
    EXPECT_EQ(KeReadStateEvent(&lock.RemoveEvent), 1);
}

TEST_F(RemoveLockTest, RacingAcquirersEitherHoldOrAreRefusedAndRemovalEndsAfterAllHolds) {
    for (int round = 0; round < 50; ++round) {
        UTILInitializeRemoveLock(&lock, 0, 0, 0);
        ASSERT_EQ(UTILAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
        int held = 0;
        int refused = 0;
        kmodel::ModelThread acquirers([&] {
            for (int i = 0; i < 20; ++i) {
                if (UTILAcquireRemoveLock(&lock, nullptr) == STATUS_SUCCESS) {
                    ++held;
                    UTILReleaseRemoveLock(&lock, nullptr);
                } else {
                    ++refused;
                }
            }
        });
        UTILReleaseRemoveLockAndWait(&lock, &lock);
        EXPECT_TRUE(lock.Removing);
        acquirers.Join();
        EXPECT_EQ(held + refused, 20);
        EXPECT_EQ(lock.Usage, 0);
    }
}

TEST(PendingActionCount, BiasDecrementSignalsOnlyBelowZero) {
    kmodel::System system;
    DEVICE_EXTENSION pdx{};
    KeInitializeEvent(&pdx.PendingActionEvent, NotificationEvent, FALSE);
    IncrementPendingActionCount(&pdx);
    IncrementPendingActionCount(&pdx);
    DecrementPendingActionCount(&pdx);
    DecrementPendingActionCount(&pdx);
    EXPECT_EQ(pdx.PendingActionCount, 0);
    EXPECT_EQ(KeReadStateEvent(&pdx.PendingActionEvent), 0);  // resting at 0 is not "drained"

    IncrementPendingActionCount(&pdx);
    DecrementPendingActionCount(&pdx);  // the removal's bias, with one transfer in flight
    // Nothing was set yet: count is 0 with the bias.
    EXPECT_EQ(KeReadStateEvent(&pdx.PendingActionEvent), 0);
    DecrementPendingActionCount(&pdx);  // that transfer completes
    EXPECT_EQ(pdx.PendingActionCount, -1);
    EXPECT_EQ(KeReadStateEvent(&pdx.PendingActionEvent), 1);
}

}  // namespace
}  // namespace qvtest
