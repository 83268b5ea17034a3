// Several application threads reading, writing, waiting and being cancelled
// against a modem that loops the line back and completes asynchronously,
// while the port is closed, reopened and finally unplugged half-way through
// the writes. Interleavings
// vary from run to run; what is checked holds for all of them: no hang, no
// verifier report, every byte written comes back once and in order.
#include <atomic>
#include <random>

#include "port_fixture.h"

namespace qvtest {
namespace {

using PortStressTest = PortTest;

TEST_F(PortStressTest, ThreadsReadWriteWaitAndCancelAcrossReopenAndUnplug) {
    OpenPort();
    Pending setup;
    ASSERT_EQ(StartWrite(setup, {'A', 'T', 'E', '0', 'D', 'L', 'O', 'O', 'P', '\r'}), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(setup.Done());
    ASSERT_TRUE(Modem().online());
    SetTimeouts(MAXULONG, 0, 0);
    while (!ReadNow(4096).empty()) {
    }  // the echo and CONNECT

    std::mt19937 random(7);
    for (int round = 0; round < 3; ++round) {
        bool last = round == 2;
        if (round > 0) {
            OpenPort();
        }
        SetTimeouts(MAXULONG, MAXULONG, 600000);  // reads wait for the first data
        SetWaitMask(SERIAL_EV_RXCHAR);
        std::vector<uint8_t> sent;
        std::vector<std::vector<uint8_t>> writes(20);
        for (auto& w : writes) {
            w.resize(1 + random() % 6000);
            for (auto& b : w) {
                b = static_cast<uint8_t>(sent.size() % 253);
                sent.push_back(b);
            }
        }

        std::atomic<bool> stop{false};
        std::atomic<bool> readerDone{false}, waiterDone{false};
        std::vector<uint8_t> received;
        kmodel::io::Request waitRequest;
        kmodel::ModelThread writer([&] {
            for (auto& w : writes) {
                if (last && &w == &writes[writes.size() / 2]) {
                    stop = true;
                    Unplug(child);
                }
                kmodel::io::Request request;
                NTSTATUS status = kmodel::io::Write(file, w.data(), static_cast<ULONG>(w.size()), &request);
                if (status == STATUS_PENDING) {
                    status = kmodel::io::Wait(&request);
                }
                if (!NT_SUCCESS(status)) {
                    break;  // unplugged
                }
                EXPECT_EQ(request.IoStatus.Information, w.size());
            }
        });
        kmodel::ModelThread reader([&] {
            std::vector<uint8_t> buffer(2000);
            while (received.size() < sent.size()) {
                kmodel::io::Request request;
                NTSTATUS status = kmodel::io::Read(file, buffer.data(), static_cast<ULONG>(buffer.size()), &request);
                if (status == STATUS_PENDING) {
                    status = kmodel::io::Wait(&request);
                }
                if (status == STATUS_SUCCESS) {
                    received.insert(received.end(), buffer.begin(), buffer.begin() + request.IoStatus.Information);
                } else if (stop) {
                    break;  // cancelled or refused after the unplug
                }
            }
            readerDone = true;
        });
        kmodel::ModelThread waiter([&] {
            ULONG events;
            while (!stop) {
                NTSTATUS status = kmodel::io::DeviceControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                                            sizeof(events), &waitRequest);
                if (status == STATUS_PENDING) {
                    status = kmodel::io::Wait(&waitRequest);
                }
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_DELETE_PENDING)
                    << std::hex << status;
            }
            waiterDone = true;
        });

        // Cancel the wait whenever all are blocked; once unplugged, cancel
        // everything, since held reads would wait for ever.
        while (!readerDone) {
            kmodel::WaitForQuiescence();
            kmodel::io::Cancel(file, &waitRequest);
            if (stop) {
                kmodel::io::Cancel(file, nullptr);  // held reads end; nothing more will come
            }
        }
        writer.Join();
        stop = true;
        while (!waiterDone) {
            SetWaitMask(SERIAL_EV_RXCHAR);  // ends a wait queued meanwhile
            kmodel::io::Cancel(file, nullptr);
            kmodel::WaitForQuiescence();
        }
        waiter.Join();
        reader.Join();

        if (!last) {
            EXPECT_EQ(received, sent) << round;
        } else {
            ASSERT_LE(received.size(), sent.size());
            EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin()));
            EXPECT_EQ(pdx->State, SurpriseRemoved);
        }
        ClosePort();  // after the unplug, the removal follows and the device is gone
        if (!last) {
            EXPECT_EQ(pdx->OpenCount, 0);
            EXPECT_EQ(pdx->PendingActionCount, 0);
        }
    }
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    EXPECT_EQ(DriverPool(), 0u);
}

}  // namespace
}  // namespace qvtest
