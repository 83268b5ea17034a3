// NTSTATUS values become the Win32 errors Windows reports for them, and the
// last error belongs to the thread that set it.
#include <gtest/gtest.h>

#include <kmodel/system.h>

#include <win32/win32sim.h>
#include <win32/windows.h>

namespace {

using win32sim::DosErrorFromNtStatus;

TEST(StatusMapping, StatusesOfTheIoPathMapAsWindowsMapsThem) {
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_SUCCESS), ERROR_SUCCESS);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_PENDING), 997u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_CANCELLED), 995u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_IO_TIMEOUT), 121u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_ACCESS_DENIED), 5u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_DELETE_PENDING), 5u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_INVALID_PARAMETER), 87u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_BUFFER_TOO_SMALL), 122u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_BUFFER_OVERFLOW), 234u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_INSUFFICIENT_RESOURCES), 1450u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_INVALID_DEVICE_REQUEST), 1u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_NOT_IMPLEMENTED), 1u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_NOT_SUPPORTED), 50u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_OBJECT_NAME_NOT_FOUND), 2u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_NO_SUCH_DEVICE), 2u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_DEVICE_NOT_CONNECTED), 1167u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_UNSUCCESSFUL), 31u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_INVALID_HANDLE), 6u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_DEVICE_REMOVED), 1617u);
}

TEST(StatusMapping, Win32FacilityStatusesCarryTheirError) {
    EXPECT_EQ(DosErrorFromNtStatus(static_cast<NTSTATUS>(0xC0070000u | ERROR_BUSY)), ERROR_BUSY);
}

TEST(StatusMapping, UnknownStatusesHaveNoError) {
    EXPECT_EQ(DosErrorFromNtStatus(static_cast<NTSTATUS>(0xC0DE0001u)), ERROR_MR_MID_NOT_FOUND);
}

TEST(LastError, IsKeptPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    {
        kmodel::System system;
        kmodel::ModelThread other([&] {
            seenByOther = GetLastError();
            SetLastError(ERROR_GEN_FAILURE);
        });
    }
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
