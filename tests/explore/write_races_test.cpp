// Races of the transmit path, explored: writes and flushes against their
// chunks' completions, their cancels, purges, cleanup and removal. Each
// scenario names the orderings of race events its schedules must reach
// (race_fixture.h).
#include "race_fixture.h"

namespace qvtest {
namespace {

class WriteRaceTest : public RaceTest {
protected:
    // Every request named `later` that ended did so after one named `earlier`.
    void ExpectEndedAfter(const std::string& later, const std::string& earlier) {
        bool seen = false;
        for (const std::string& name : watch.Ended()) {
            seen = seen || name == earlier;
            EXPECT_TRUE(name != later || seen)
                << "a " << later << " ended before the " << earlier << " ahead of it; ended in this order: "
                << ::testing::PrintToString(watch.Ended());
        }
    }

    // What went out on the bulk-out pipe since the log held `before` records.
    std::string WireSince(size_t before) const {
        std::string wire;
        for (size_t i = before; i < log.records.size(); ++i) {
            const usbsim::UrbRecord& r = log.records[i];
            if (!r.completion && r.endpoint == usbsim::kBulkOutEndpoint) {
                wire.append(r.data.begin(), r.data.end());
            }
        }
        return wire;
    }
};

// ---- a write against its own chunks ---------------------------------------------------

TEST_F(WriteRaceTest, AWriteChunkCompletionAgainstItsCancel) {
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            Pending write;
            StartWrite(write, std::vector<uint8_t>(10000, 'w'));
            kmodel::io::Cancel(file, &write.request);
            kmodel::WaitForQuiescence();
            ExpectDone(write);
            EXPECT_LE(write.Information(), 10000u);
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"write completion", "cancel with no routine during write", "write completion"}, 20}});
}

// ---- a write against the end of the one ahead of it --------------------------------

// Two writes, the second waiting for its turn, against each of the ways a
// queued write ends: its cancel, a purge, the handle's cleanup, an unplug
// and the removal after it.
TEST_F(WriteRaceTest, TwoWritesQueuedAgainstCancelPurgeCleanupAndRemoval) {
    struct Ender {
        const char* name;
        std::function<void(Pending& second)> end;
        const char* proof;
        int minimum;
    };
    const Ender enders[] = {
        {"cancel", [&](Pending& second) { kmodel::io::Cancel(file, &second.request); },
         "write cancel routine during write completion|write completion during write cancel routine", 2},
        {"purge", [&](Pending&) { EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS); },
         "write completion during purge|purge during write completion|write completion failing during purge", 15},
        {"cleanup", [&](Pending&) { CloseNow(); }, "write completion during cleanup|write completion during close", 6},
        {"removal", [&](Pending&) { UnplugNow(); },
         "write ended refused|write completion failing during surprise removal", 3},
    };
    for (const Ender& ender : enders) {
        SCOPED_TRACE(ender.name);
        bool removes = std::string(ender.name) == "removal";
        ExpectNoRaceWithin(
            {Pct(400)},
            [&] {
                Pending first, second;
                StartWrite(first, std::vector<uint8_t>(64, 'a'));
                StartWrite(second, std::vector<uint8_t>(64, 'b'));
                ender.end(second);
                kmodel::WaitForQuiescence();
                ExpectDone(first);
                ExpectDone(second);
                if (file != nullptr) {
                    CloseNow();
                }
                if (removes) {
                    ExpectGone();
                } else {
                    ExpectRemovedClean();
                }
            },
            {{{ender.proof}, ender.minimum}});
    }
}

// A write admitted as the chunk of the one on the wire completes: it finds
// the wire busy and is handed it by the ended write, or finds it idle and
// takes it. Left queued behind a write that has already gone, it would
// never be sent. (Bounded search: the completion's DPC, queued when the
// first write is sent, runs at any one point of the second's dispatch.)
TEST_F(WriteRaceTest, AWriteAdmittedAsTheWriteOnTheWireEnds) {
    ExpectNoRaceWithin(
        {Bounded(1, 1000), Pct(300)},
        [&] {
            size_t before = log.records.size();
            Pending first, second;
            StartWrite(first, std::vector<uint8_t>(64, 'a'));
            StartWrite(second, std::vector<uint8_t>(64, 'b'));
            kmodel::WaitForQuiescence();
            ExpectDone(first);
            ExpectDone(second);
            EXPECT_EQ(second.Status(), STATUS_SUCCESS);
            std::string wire = WireSince(before);
            EXPECT_EQ(wire, std::string(64, 'a') + std::string(64, 'b'))
                << "the second write was not sent after the first";
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"write completion during write dispatch"}, 10}, {{"write dispatch", "write ended ok", "write dispatch"}, 10}});
}

// Two writes from two threads, each longer than a chunk: each goes out
// whole, one after the other, never interleaved on the wire.
TEST_F(WriteRaceTest, TwoWritesFromTwoThreadsGoOutWhole) {
    const size_t length = WRITE_CHUNK_SIZE + 100;
    ExpectNoRaceWithin(
        {Pct(500)},
        [&] {
            size_t before = log.records.size();
            Pending a, b;
            kmodel::ModelThread other([&] { StartWrite(b, std::vector<uint8_t>(length, 'b')); }, "writer");
            StartWrite(a, std::vector<uint8_t>(length, 'a'));
            other.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(a);
            ExpectDone(b);
            std::string wire = WireSince(before);
            std::string ab = std::string(length, 'a') + std::string(length, 'b');
            std::string ba = std::string(length, 'b') + std::string(length, 'a');
            EXPECT_TRUE(wire == ab || wire == ba) << "the writes' chunks interleaved on the wire";
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"write dispatch during write dispatch"}, 20}, {{"write completion during write dispatch"}, 20}});
}

// ---- flushes ----------------------------------------------------------------------------

// A flush sent behind a write ends only once the write has ended, and the
// write has sent everything.
TEST_F(WriteRaceTest, AFlushAgainstAWritesLastChunk) {
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            Pending write;
            StartWrite(write, std::vector<uint8_t>(5000, 'w'));
            kmodel::io::Request flush;
            NTSTATUS flushed = kmodel::io::Simple(file, IRP_MJ_FLUSH_BUFFERS, &flush);
            if (flushed == STATUS_PENDING) {
                flushed = kmodel::io::Wait(&flush);
            }
            EXPECT_EQ(flushed, STATUS_SUCCESS);
            EXPECT_EQ(pdx->OutQueueBytes, 0u) << "the flush ended before the write was sent";
            ExpectEndedAfter("flush", "write");
            kmodel::WaitForQuiescence();
            ExpectDone(write);
            EXPECT_EQ(write.Information(), 5000u);
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"write completion during flush"}, 40}, {{"flush", "write ended", "flush ended"}, 50}});
}

// ---- purge and cleanup against the write on the wire --------------------------------

// A purge as the chunk of the write on the wire completes: the purge holds
// the write it finds on the wire while it cancels it, or finds the wire
// idle; it never reaches for a write that has already gone. (Bounded
// search, as above: the completion runs at any one point of the purge.)
TEST_F(WriteRaceTest, APurgeAsTheWriteOnTheWireEnds) {
    ExpectNoRaceWithin(
        {Bounded(1, 1000)},
        [&] {
            Pending write;
            StartWrite(write, std::vector<uint8_t>(64, 'w'));
            EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
            kmodel::WaitForQuiescence();
            ExpectDone(write);
            EXPECT_TRUE(write.Status() == STATUS_SUCCESS || write.Status() == STATUS_CANCELLED);
            EXPECT_LE(write.Information(), 64u);
            ClosePort();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"write completion during purge"}, 10}, {{"purge", "write ended ok", "purge ended"}, 10}});
}

TEST_F(WriteRaceTest, CleanupAgainstACompletingWriteChunk) {
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            Pending write, queued;
            StartWrite(write, std::vector<uint8_t>(10000, 'w'));
            StartWrite(queued, std::vector<uint8_t>(10, 'q'));
            CloseNow();
            kmodel::WaitForQuiescence();
            ExpectDone(write);
            ExpectDone(queued);
            EXPECT_LE(write.Information(), 10000u);
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"write completion during cleanup|write completion failing during cleanup"}, 50},
         {{"cleanup", "write ended cancelled"}, 50}});
}

}  // namespace
}  // namespace qvtest
