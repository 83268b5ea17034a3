// Tracking requests until their OVERLAPPED has been filled in.
#include "requests.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include <win32/win32sim.h>

namespace win32sim::detail {

namespace {

struct RequestTable {
    kmodel::Mutex mutex;
    std::vector<std::shared_ptr<Request>> requests;  // oldest first
};

// Never destroyed, like the handle table.
RequestTable& Table() {
    static auto* table = new RequestTable;
    return *table;
}

void RemoveLocked(RequestTable& table, const std::shared_ptr<Request>& request) {
    std::erase(table.requests, request);
}

void WriteStatusBlock(LPOVERLAPPED overlapped, const IO_STATUS_BLOCK& iosb) {
    overlapped->Internal = static_cast<ULONG>(iosb.Status);
    overlapped->InternalHigh = iosb.Information;
}

}  // namespace

std::shared_ptr<Request> TrackRequest(const FileObject& file, LPOVERLAPPED overlapped,
                                      std::shared_ptr<EventObject> event) {
    auto request = std::make_shared<Request>();
    request->overlapped = overlapped;
    request->fileId = file.id;
    request->thread = kmodel::CurrentThreadId();
    request->event = std::move(event);
    request->io.UserEvent = request->event ? &request->event->event : nullptr;
    KeInitializeEvent(&request->io.Done, NotificationEvent, FALSE);
    RequestTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    table.requests.push_back(request);
    return request;
}

void Untrack(const std::shared_ptr<Request>& request) {
    RequestTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    request->harvested = true;
    RemoveLocked(table, request);
}

// The model writes Finished before it sets the caller's event and then Done,
// so a thread woken by the event already sees it.
bool HasFinished(Request& request) {
    if (KeReadStateEvent(&request.io.Done) != 0) {
        return true;
    }
    return std::atomic_ref<bool>(request.io.Finished).load();
}

void Harvest(const std::shared_ptr<Request>& request) {
    kmodel::io::Wait(&request->io);
    {
        RequestTable& table = Table();
        std::lock_guard<kmodel::Mutex> guard(table.mutex);
        if (request->harvested) {
            return;
        }
        request->harvested = true;
        if (request->overlapped != nullptr) {
            WriteStatusBlock(request->overlapped, request->io.IoStatus);
        }
        RemoveLocked(table, request);
    }
}

std::shared_ptr<Request> FindRequest(LPOVERLAPPED overlapped) {
    RequestTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    auto it = std::find_if(table.requests.rbegin(), table.requests.rend(),
                           [&](const std::shared_ptr<Request>& r) { return r->overlapped == overlapped; });
    return it == table.requests.rend() ? nullptr : *it;
}

std::vector<std::shared_ptr<Request>> PendingRequests(uint64_t fileId, LPOVERLAPPED overlapped,
                                                      const uint64_t* thread) {
    std::vector<std::shared_ptr<Request>> found;
    RequestTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    for (const std::shared_ptr<Request>& r : table.requests) {
        bool mine = r->fileId == fileId && (overlapped == nullptr || r->overlapped == overlapped) &&
                    (thread == nullptr || r->thread == *thread);
        if (mine && !HasFinished(*r)) {
            found.push_back(r);
        }
    }
    return found;
}

void HarvestFinished(const EventObject* event) {
    std::vector<std::shared_ptr<Request>> finished;
    {
        RequestTable& table = Table();
        std::lock_guard<kmodel::Mutex> guard(table.mutex);
        for (const std::shared_ptr<Request>& r : table.requests) {
            if (r->event.get() == event && HasFinished(*r)) {
                finished.push_back(r);
            }
        }
    }
    for (const std::shared_ptr<Request>& r : finished) {
        Harvest(r);
    }
}

size_t TrackedCount() {
    RequestTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    return table.requests.size();
}

}  // namespace win32sim::detail

namespace win32sim {

size_t TrackedRequestCount() {
    return detail::TrackedCount();
}

}  // namespace win32sim
