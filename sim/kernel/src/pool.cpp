// Executive pool. Every block records its tag, size and the driver whose code
// allocated it, so that leaks are found by driver and reported by tag.
#include <cstdlib>
#include <map>
#include <sstream>

#include "model.h"

namespace kmodel::detail {

namespace {

constexpr uint64_t kLiveMagic = 0x4C4F4F5045564C4CULL;
constexpr unsigned char kFreshFill = 0xC5;  // pool is not zeroed on Windows

struct alignas(16) PoolHeader {
    uint64_t magic;
    uint64_t sequence;  // allocation order
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    PDRIVER_OBJECT owner;
};

struct PoolState {
    Mutex mutex;
    std::map<void*, PoolHeader*> live;
    uint64_t sequence = 0;
    std::map<PDRIVER_OBJECT, uint64_t> initialized;  // sequence when DriverEntry returned
};

PoolState& Pool() {
    static PoolState pool;
    return pool;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

void* AllocateBlock(size_t bytes, ULONG tag, POOL_TYPE type, PDRIVER_OBJECT owner) {
    auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + bytes));
    if (header == nullptr) {
        return nullptr;
    }
    header->magic = kLiveMagic;
    header->size = bytes;
    header->tag = tag;
    header->type = type;
    header->owner = owner;
    void* body = header + 1;
    std::memset(body, kFreshFill, bytes);
    std::lock_guard<Mutex> guard(Pool().mutex);
    header->sequence = ++Pool().sequence;
    Pool().live[body] = header;
    return body;
}

// Rule BAD_POOL_CALLER: freeing a block that is not live (a double free or a
// pointer pool never returned), or with a tag other than its own.
void FreeBlock(void* p, const ULONG* expectedTag, const char* ddi) {
    PoolHeader* header;
    {
        std::lock_guard<Mutex> guard(Pool().mutex);
        auto it = Pool().live.find(p);
        if (it == Pool().live.end()) {
            BugCheck(rule::kPoolDoubleFree, std::string(ddi) + " of " + Hex(p) + ", which is not an allocated pool block");
        }
        header = it->second;
        if (expectedTag != nullptr && *expectedTag != header->tag) {
            BugCheck(rule::kPoolDoubleFree, std::string(ddi) + " of " + Hex(p) + " with tag '" + TagText(*expectedTag) +
                                                "', allocated with '" + TagText(header->tag) + "'");
        }
        // Rule TIMER_OR_DPC_INVALID: freed pool holds no armed timer and no
        // DPC queued; the clock or a processor would later run
        // through freed memory.
        std::string active = ActiveKernelObjectIn(p, header->size);
        if (!active.empty()) {
            BugCheck(rule::kTimerOrDpcInvalid, std::string(ddi) + " of " + Hex(p) + " ('" + TagText(header->tag) +
                                                   "'), which holds " + active);
        }
        Pool().live.erase(it);
    }
    header->magic = 0;
    std::memset(p, kFreedFill, header->size);
    std::free(header);
}

}  // namespace

void* ModelAllocate(size_t bytes, ULONG tag) {
    return AllocateBlock(bytes, tag, NonPagedPool, nullptr);
}

namespace {

void CheckPoolSince(PDRIVER_OBJECT driver, uint64_t since, const char* when) {
    std::ostringstream leaks;
    size_t count = 0;
    {
        std::lock_guard<Mutex> guard(Pool().mutex);
        for (const auto& [body, header] : Pool().live) {
            if (header->owner == driver && header->sequence > since) {
                if (count < 16) {
                    leaks << " '" << TagText(header->tag) << "' " << header->size << " bytes at " << body << ";";
                }
                ++count;
            }
        }
    }
    if (count != 0) {
        BugCheck(rule::kPoolLeak, "driver " + Hex(driver) + " " + when + " with " + std::to_string(count) +
                                      " pool block(s) allocated:" + leaks.str());
    }
}

}  // namespace

// Rule DRIVER_LEFT_POOL_ALLOCATED: when a driver unloads, every block its code
// allocated has been freed; when its last device is removed, every block it
// allocated after DriverEntry (per-device and per-request pool) has been.
void CheckPoolAtUnload(PDRIVER_OBJECT driver) {
    CheckPoolSince(driver, 0, "unloads");
}

void CheckPoolAtLastRemoval(PDRIVER_OBJECT driver) {
    uint64_t since;
    {
        std::lock_guard<Mutex> guard(Pool().mutex);
        since = Pool().initialized[driver];
    }
    CheckPoolSince(driver, since, "has its last device removed");
}

void MarkDriverInitialized(PDRIVER_OBJECT driver) {
    std::lock_guard<Mutex> guard(Pool().mutex);
    Pool().initialized[driver] = Pool().sequence;
}

void ResetPool() {
    std::lock_guard<Mutex> guard(Pool().mutex);
    for (auto& [body, header] : Pool().live) {
        std::free(header);
    }
    Pool().live.clear();
    Pool().initialized.clear();
}

}  // namespace kmodel::detail

namespace kmodel {

size_t PoolBytesHeld(PDRIVER_OBJECT driver) {
    std::lock_guard<Mutex> guard(detail::Pool().mutex);
    size_t bytes = 0;
    for (const auto& [body, header] : detail::Pool().live) {
        if (driver == nullptr || header->owner == driver) {
            bytes += header->size;
        }
    }
    return bytes;
}

size_t PoolBlocksHeld(PDRIVER_OBJECT driver) {
    std::lock_guard<Mutex> guard(detail::Pool().mutex);
    size_t blocks = 0;
    for (const auto& [body, header] : detail::Pool().live) {
        if (driver == nullptr || header->owner == driver) {
            ++blocks;
        }
    }
    return blocks;
}

size_t PoolBlocksWithTag(ULONG tag) {
    std::lock_guard<Mutex> guard(detail::Pool().mutex);
    size_t blocks = 0;
    for (const auto& [body, header] : detail::Pool().live) {
        blocks += header->tag == tag ? 1 : 0;
    }
    return blocks;
}

}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    SchedulingPoint("ExAllocatePoolWithTag");
    if (PoolType == PagedPool || PoolType == PagedPoolCacheAligned) {
        RequireIrqlAtMost("ExAllocatePoolWithTag(PagedPool)", APC_LEVEL);
    } else {
        RequireIrqlAtMost("ExAllocatePoolWithTag", DISPATCH_LEVEL);
    }
    if (ShouldFailAllocation(kPoolAllocation)) {
        return nullptr;
    }
    return AllocateBlock(NumberOfBytes, Tag, PoolType, Self().driver);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // 'None'
}

VOID ExFreePool(PVOID P) {
    SchedulingPoint("ExFreePool");
    RequireIrqlAtMost("ExFreePool", DISPATCH_LEVEL);
    FreeBlock(P, nullptr, "ExFreePool");
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    SchedulingPoint("ExFreePoolWithTag");
    RequireIrqlAtMost("ExFreePoolWithTag", DISPATCH_LEVEL);
    FreeBlock(P, &Tag, "ExFreePoolWithTag");
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}
