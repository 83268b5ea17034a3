// What an application sees when the port is closed, removed, reopened or
// driven hard: every request ends, nothing received is lost or corrupted,
// and what reaches the wire is what the application asked for.
#include "serial_port_fixture.h"

namespace qvtest {
namespace {

class SerialRobustness : public SerialPortTest {
protected:
    // n bytes of a counter pattern, so that loss and reordering show.
    static std::string Pattern(size_t n, unsigned seed = 0) {
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<char>((i + seed) % 251);
        }
        return bytes;
    }

    // Reads on the port (reads return at once) until n bytes have come or
    // a read brings nothing.
    std::string ReadAll(size_t n) {
        std::string all;
        while (all.size() < n) {
            kmodel::WaitForQuiescence();
            std::string part = ReadText(port, 4096);
            if (part.empty()) {
                break;
            }
            all += part;
        }
        return all;
    }
};

// A close while the removal is only queried sends nothing to the device, yet
// stops both readers: after the removal is cancelled the next open must not
// find the old transfers still in flight on the URBs it reuses.
TEST_F(SerialRobustness, CloseDuringAQueriedRemovalThenCancelLeavesTheReopenedPortWhole) {
    OpenPort();
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ClosePort();
    EXPECT_TRUE(Sent().empty());
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    OpenPort();
    ReadsReturnAtOnce(port);
    const std::string stream = Pattern(64 * 1024);
    ModemSends(stream);
    EXPECT_TRUE(ReadAll(stream.size()) == stream);
}

}  // namespace
}  // namespace qvtest
