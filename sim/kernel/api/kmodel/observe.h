// Watching the driver routines the model calls: dispatch routines, DPC
// routines, cancel routines and completion routines, each as it begins and
// as it returns.
// Explorations use it to tell which races a schedule reached without any
// tracing in the driver.
#pragma once

#include <functional>

namespace kmodel {

struct RoutineCall {
    enum class Kind { Dpc, Cancel, Completion, Dispatch };
    Kind kind = Kind::Dpc;
    bool begin = true;              // false: it has returned
    const void* routine = nullptr;  // the driver's function; null for a cancel that found none
    const void* object = nullptr;   // the KDPC, or the IRP
    int processor = 0;              // the processor it runs on
};

// One observer; an empty function removes it. It runs on the thread that
// calls the routine, with no model lock held; it must neither wait nor call
// a DDI. After a routine's return `object` may be freed: compare, never read.
void SetRoutineObserver(std::function<void(const RoutineCall&)> observer);

}  // namespace kmodel
