// The routine observer (kmodel/observe.h).
#include <kmodel/observe.h>

#include "model.h"

namespace kmodel::detail {

namespace {

std::function<void(const RoutineCall&)>& Observer() {
    static std::function<void(const RoutineCall&)> observer;
    return observer;
}

}  // namespace

void ObserveRoutine(RoutineCall::Kind kind, bool begin, const void* routine, const void* object) {
    auto& observer = Observer();
    if (observer) {
        observer(RoutineCall{kind, begin, routine, object, CurrentProcessor()});
    }
}

}  // namespace kmodel::detail

namespace kmodel {

void SetRoutineObserver(std::function<void(const RoutineCall&)> observer) {
    detail::Observer() = std::move(observer);
}

}  // namespace kmodel
