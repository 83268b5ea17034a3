// The USB and serial DDK headers compile together with wdm.h, keep the
// published numbers and layouts, and their URB builders fill what they claim.

#include <wdm.h>

#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>
#include <usb100.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

// Offset of a member inside the URB, in bytes.
template <typename Member>
std::ptrdiff_t OffsetInUrb(const URB& urb, const Member& member) {
    return reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&urb);
}

// A URB full of a recognisable pattern, so a field the builder skipped shows up.
URB PoisonedUrb() {
    URB urb;
    std::memset(&urb, 0xCD, sizeof(urb));
    return urb;
}

}  // namespace

TEST(SerialHeader, RecordsHaveTheWindowsLayout) {
    EXPECT_EQ(sizeof(SERIAL_BAUD_RATE), 4u);
    EXPECT_EQ(sizeof(SERIAL_LINE_CONTROL), 3u);
    EXPECT_EQ(sizeof(SERIAL_TIMEOUTS), 20u);
    EXPECT_EQ(sizeof(SERIAL_CHARS), 6u);
    EXPECT_EQ(sizeof(SERIAL_HANDFLOW), 16u);
    EXPECT_EQ(sizeof(SERIAL_STATUS), 20u);
    EXPECT_EQ(sizeof(SERIALPERF_STATS), 24u);
    EXPECT_EQ(sizeof(SERIAL_QUEUE_SIZE), 8u);

    EXPECT_EQ(offsetof(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant), 16u);
    EXPECT_EQ(offsetof(SERIAL_CHARS, XoffChar), 5u);
    EXPECT_EQ(offsetof(SERIAL_HANDFLOW, XoffLimit), 12u);
    EXPECT_EQ(offsetof(SERIAL_STATUS, EofReceived), 16u);
    EXPECT_EQ(offsetof(SERIAL_STATUS, WaitForImmediate), 17u);
    EXPECT_EQ(offsetof(SERIALPERF_STATS, ParityErrorCount), 20u);
    EXPECT_EQ(offsetof(SERIAL_COMMPROP, SettableData), 40u);
    EXPECT_EQ(offsetof(SERIAL_COMMPROP, ProvChar), 60u);
}

TEST(SerialHeader, ControlCodesMatchPublishedValues) {
    EXPECT_EQ(IOCTL_SERIAL_SET_BAUD_RATE, 0x001B0004u);
    EXPECT_EQ(IOCTL_SERIAL_GET_WAIT_MASK, 0x001B0040u);
    EXPECT_EQ(IOCTL_SERIAL_WAIT_ON_MASK, 0x001B0048u);
    EXPECT_EQ(IOCTL_SERIAL_GET_PROPERTIES, 0x001B0074u);
    EXPECT_EQ(IOCTL_SERIAL_GET_DTRRTS, 0x001B0078u);
    EXPECT_EQ(IOCTL_SERIAL_LSRMST_INSERT, 0x001B007Cu);
    EXPECT_EQ(IOCTL_SERIAL_CONFIG_SIZE, 0x001B0080u);
    EXPECT_EQ(IOCTL_SERIAL_GET_COMMCONFIG, 0x001B0084u);
    EXPECT_EQ(IOCTL_SERIAL_CLEAR_STATS, 0x001B0090u);
    EXPECT_EQ(IOCTL_SERIAL_GET_MODEM_CONTROL, 0x001B0094u);
    EXPECT_EQ(IOCTL_SERIAL_SET_FIFO_CONTROL, 0x001B009Cu);

    EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(IOCTL_SERIAL_PURGE), ULONG{FILE_DEVICE_SERIAL_PORT});
    EXPECT_EQ(METHOD_FROM_CTL_CODE(IOCTL_SERIAL_PURGE), ULONG{METHOD_BUFFERED});

    // Wait-mask and handflow bits a serial driver tests against.
    EXPECT_EQ(SERIAL_EV_RXCHAR | SERIAL_EV_EVENT2, 0x1001);
    EXPECT_EQ(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR, 0xF);
    EXPECT_EQ(SERIAL_CONTROL_INVALID & (SERIAL_DTR_MASK | SERIAL_OUT_HANDSHAKEMASK | SERIAL_DSR_SENSITIVITY |
                                        SERIAL_ERROR_ABORT),
              0u);
    EXPECT_EQ(SERIAL_FLOW_INVALID & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                                     SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR | SERIAL_RTS_MASK |
                                     SERIAL_XOFF_CONTINUE),
              0u);
}

TEST(UsbHeaders, InternalControlCodesMatchPublishedValues) {
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x00220003u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_RESET_PORT, 0x00220007u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, 0x0022000Fu);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0x00220013u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_CYCLE_PORT, 0x0022001Fu);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_HUB_NAME, 0x00220020u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, 0x00220027u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_BUS_INFO, 0x00220420u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, 0x00220424u);

    EXPECT_EQ(URB_FUNCTION_RESET_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 30);
    EXPECT_EQ(URB_FUNCTION_SYNC_RESET_PIPE, 48);
    EXPECT_EQ(URB_FUNCTION_SYNC_CLEAR_STALL, 49);
}

TEST(UsbHeaders, StatusMacrosClassifyByTheTopBits) {
    EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_SUCCESS));
    EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
    EXPECT_FALSE(USBD_ERROR(USBD_STATUS_PENDING));

    // A transaction error halts the endpoint; a software error does not.
    EXPECT_TRUE(USBD_ERROR(USBD_STATUS_STALL_PID));
    EXPECT_TRUE(USBD_HALTED(USBD_STATUS_STALL_PID));
    EXPECT_TRUE(USBD_ERROR(USBD_STATUS_INVALID_PARAMETER));
    EXPECT_FALSE(USBD_HALTED(USBD_STATUS_INVALID_PARAMETER));

    EXPECT_EQ(static_cast<ULONG>(USBD_STATUS_STALL_PID), 0xC0000004u);
    EXPECT_EQ(static_cast<ULONG>(USBD_STATUS_INVALID_URB_FUNCTION), 0x80000200u);
}

TEST(UsbHeaders, EveryUrbMemberStartsWithTheHeader) {
    URB urb{};
    const std::ptrdiff_t header = OffsetInUrb(urb, urb.UrbHeader);
    EXPECT_EQ(header, 0);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbSelectInterface.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbSelectConfiguration.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbPipeRequest.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbGetCurrentFrameNumber.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlTransfer.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlTransferEx.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbBulkOrInterruptTransfer.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbIsochronousTransfer.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlDescriptorRequest.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlGetStatusRequest.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlFeatureRequest.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlVendorClassRequest.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlGetInterfaceRequest.Hdr), header);
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbControlGetConfigurationRequest.Hdr), header);

    // The transfer requests share one prefix, so the bus model can read the
    // buffer fields without knowing which of them it was handed.
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbBulkOrInterruptTransfer.TransferBufferLength),
              OffsetInUrb(urb, urb.UrbControlVendorClassRequest.TransferBufferLength));
    EXPECT_EQ(OffsetInUrb(urb, urb.UrbBulkOrInterruptTransfer.hca),
              OffsetInUrb(urb, urb.UrbControlDescriptorRequest.hca));
    EXPECT_EQ(sizeof(urb.UrbBulkOrInterruptTransfer.hca.Reserved8), 8 * sizeof(PVOID));
    EXPECT_GE(sizeof(URB), sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
}

TEST(UsbHeaders, BulkBuilderFillsEveryField) {
    URB urb = PoisonedUrb();
    URB next{};
    MDL mdl{};
    UCHAR buffer[64];
    const USBD_PIPE_HANDLE pipe = &buffer[0];

    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, &mdl,
                                           sizeof(buffer), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                           &next);

    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, pipe);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferMDL, &mdl);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, sizeof(buffer));
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK});
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.UrbLink, &next);
    EXPECT_TRUE(USBD_TRANSFER_DIRECTION_FLAG(urb.UrbBulkOrInterruptTransfer.TransferFlags));
}

TEST(UsbHeaders, ControlBuildersFillEveryField) {
    URB urb = PoisonedUrb();
    MDL mdl{};
    UCHAR buffer[7];

    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0x05, 0x20, 0x1234, 0x0002, buffer, &mdl, sizeof(buffer),
                          nullptr);

    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, ULONG{USBD_TRANSFER_DIRECTION_OUT});
    EXPECT_EQ(urb.UrbControlVendorClassRequest.RequestTypeReservedBits, 0x05);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 0x20);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x1234);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 0x0002);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferMDL, &mdl);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, sizeof(buffer));
    EXPECT_EQ(urb.UrbControlVendorClassRequest.UrbLink, nullptr);

    USB_DEVICE_DESCRIPTOR device;
    urb = PoisonedUrb();
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, &device, nullptr, sizeof(device), nullptr);

    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 0);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, &device);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferMDL, nullptr);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.UrbLink, nullptr);
}
