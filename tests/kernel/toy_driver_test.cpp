// A toy function driver over a toy bus, run through the whole model: loaded,
// AddDevice'd, started, opened by its DOS name, read, written, controlled,
// cancelled, closed and removed, with no pool left.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

#include <kmodel/io.h>

#include "toy_drivers.h"

namespace {

using kmodel::io::Request;

TEST(ToyDriver, FullLifecycleLeavesNoPool) {
    toy::World world;
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\TOY1", &file), STATUS_SUCCESS);
    EXPECT_EQ(world.Extension()->creates, 1);

    Request write;
    ASSERT_EQ(kmodel::io::Write(file, "hello", 5, &write), STATUS_SUCCESS);
    EXPECT_EQ(write.IoStatus.Information, 5u);

    char buffer[16] = {};
    Request read;
    ASSERT_EQ(kmodel::io::Read(file, buffer, 3, &read), STATUS_SUCCESS);
    EXPECT_EQ(read.IoStatus.Information, 3u);
    EXPECT_EQ(std::string(buffer, 3), "hel");

    char echo[8] = {};
    Request control;
    ASSERT_EQ(kmodel::io::DeviceControl(file, toy::kIoctlEcho, "abcd", 4, echo, sizeof(echo), &control),
              STATUS_SUCCESS);
    EXPECT_EQ(control.IoStatus.Information, 4u);
    EXPECT_EQ(std::string(echo, 4), "abcd");

    // Drain, then hold a read and cancel it.
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &read), STATUS_SUCCESS);
    Request held;
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &held), STATUS_PENDING);
    EXPECT_FALSE(held.Finished);
    kmodel::io::Cancel(file, &held);
    EXPECT_EQ(kmodel::io::Wait(&held), STATUS_CANCELLED);
    EXPECT_EQ(held.IoStatus.Information, 0u);

    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(world.Extension()->cleanups, 1);
    EXPECT_EQ(world.Extension()->closes, 1);

    EXPECT_GT(kmodel::PoolBlocksHeld(world.functionDriver), 0u);
    world.Teardown();
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\Toy0"), nullptr);
    std::u16string target;
    EXPECT_FALSE(kmodel::SymbolicLinkTarget(u"\\DosDevices\\TOY1", &target));
}

TEST(ToyDriver, HeldReadIsSatisfiedByAWriteFromAnotherThread) {
    toy::World world;
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\DosDevices\\toy1", &file), STATUS_SUCCESS);
    char buffer[8] = {};
    Request held;
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &held), STATUS_PENDING);
    {
        kmodel::ModelThread writer([&] {
            Request write;
            EXPECT_EQ(kmodel::io::Write(file, "xyz", 3, &write), STATUS_SUCCESS);
        });
    }
    EXPECT_EQ(kmodel::io::Wait(&held), STATUS_SUCCESS);
    EXPECT_EQ(held.IoStatus.Information, 3u);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();  // the read completed on the writer's thread: its close comes from a system thread
    world.Teardown();
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

// The I/O manager reports each request it sends to a driver, when sent and
// when its completion comes back, under one id: what a tool's I/O trace
// shows. A held read is reported once it ends.
TEST(ToyDriver, TheRequestObserverSeesEachRequestSentAndItsCompletion) {
    toy::World world;
    std::vector<kmodel::io::RequestRecord> seen;
    kmodel::io::SetRequestObserver([&](const kmodel::io::RequestRecord& r) { seen.push_back(r); });
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\DosDevices\\toy1", &file), STATUS_SUCCESS);
    char buffer[8] = {};
    Request held;
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &held), STATUS_PENDING);
    kmodel::io::Cancel(file, &held);
    kmodel::io::Wait(&held);
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    kmodel::io::SetRequestObserver(nullptr);

    struct Expected {
        UCHAR major;
        NTSTATUS status;
        ULONG length;
    };
    const Expected expected[] = {{IRP_MJ_CREATE, STATUS_SUCCESS, 0},
                                 {IRP_MJ_READ, STATUS_CANCELLED, sizeof(buffer)},
                                 {IRP_MJ_CLEANUP, STATUS_SUCCESS, 0},
                                 {IRP_MJ_CLOSE, STATUS_SUCCESS, 0}};
    ASSERT_EQ(seen.size(), 2 * std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const kmodel::io::RequestRecord& sent = seen[2 * i];
        const kmodel::io::RequestRecord& done = seen[2 * i + 1];
        EXPECT_EQ(sent.major, expected[i].major);
        EXPECT_FALSE(sent.completed);
        EXPECT_EQ(sent.device, world.pdo->AttachedDevice);
        EXPECT_EQ(sent.length, expected[i].length);
        EXPECT_TRUE(done.completed);
        EXPECT_EQ(done.id, sent.id);
        EXPECT_EQ(done.status, expected[i].status);
    }
    world.Teardown();
}

}  // namespace
