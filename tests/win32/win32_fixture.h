// A booted model with the toy function driver (DOS name TOY1: exclusive,
// buffered I/O, reads held until data arrives), used through the Win32 layer.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <kmodel/system.h>

#include <win32/win32sim.h>
#include <win32/windows.h>

#include "toy_drivers.h"

namespace win32test {

class Win32Test : public ::testing::Test {
protected:
    void SetUp() override {
        handlesBefore_ = win32sim::OpenHandleCount();
        requestsBefore_ = win32sim::TrackedRequestCount();
    }

    // Every test closes what it opened and leaves no request behind.
    void TearDown() override {
        kmodel::WaitForQuiescence();
        EXPECT_EQ(win32sim::OpenHandleCount(), handlesBefore_);
        EXPECT_EQ(win32sim::TrackedRequestCount(), requestsBefore_);
        world.Teardown();
        EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
    }

    static HANDLE Open(DWORD flags = 0, const char* name = "\\\\.\\TOY1") {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    static HANDLE NewEvent(BOOL manualReset = TRUE, BOOL initialState = FALSE) {
        return CreateEventA(nullptr, manualReset, initialState, nullptr);
    }

    toy::FunctionExtension* Toy() const { return world.Extension(); }

    toy::World world;

private:
    size_t handlesBefore_ = 0;
    size_t requestsBefore_ = 0;
};

}  // namespace win32test
