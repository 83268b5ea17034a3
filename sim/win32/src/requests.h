// Requests issued through the Win32 layer, from issue until the application
// has seen their result.
//
// kmodel::io::Request keeps its own status block, so a request's OVERLAPPED
// is filled in from it when the application looks: GetOverlappedResult,
// HasOverlappedIoCompleted, or a wait on the request's event.
#pragma once

#include <memory>
#include <vector>

#include <kmodel/io.h>

#include <win32/win32sim.h>

#include "objects.h"

namespace win32sim::detail {

struct Request {
    LPOVERLAPPED overlapped = nullptr;  // may be NULL for a synchronous call
    uint64_t fileId = 0;
    uint64_t thread;  // the model thread that issued it
    std::shared_ptr<EventObject> event;  // the model sets it at completion
    kmodel::io::Request io;
    bool harvested = false;
};

// A new request on `file`, tracked from now on.
std::shared_ptr<Request> TrackRequest(const FileObject& file, LPOVERLAPPED overlapped,
                                      std::shared_ptr<EventObject> event);

// The request failed when issued: no status block, nothing to fill in.
void Untrack(const std::shared_ptr<Request>& request);

// Its status block has been written (the model may still be setting Done).
bool HasFinished(Request& request);

// Waits for Done, then copies the status block into the OVERLAPPED once and
// stops tracking the request.
void Harvest(const std::shared_ptr<Request>& request);

// The newest tracked request issued with this OVERLAPPED, or null.
std::shared_ptr<Request> FindRequest(LPOVERLAPPED overlapped);

// Tracked requests of a file still in flight; `overlapped` and `thread`
// narrow the choice when given.
std::vector<std::shared_ptr<Request>> PendingRequests(uint64_t fileId, LPOVERLAPPED overlapped,
                                                      const uint64_t* thread);

// After a wait on `event` returned: fills in the finished requests that set it.
void HarvestFinished(const EventObject* event);

size_t TrackedCount();

}  // namespace win32sim::detail
