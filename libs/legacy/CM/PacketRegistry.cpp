#include "Exceptions.h"
#include "Format.h"
#include "Packets.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

// Packets.h, the registry of packet classes by class GUID.

namespace qz {

namespace {

struct TRegistry {
    std::mutex lock;
    std::unordered_map<TGuid, const TPacketClass*> table;
};

std::atomic<int> g_nextIndex{1};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

} // namespace

void RegisterPacketClass(const TPacketClass& cls) {
    try {
        std::atomic<int>& cell = cls.ClassIndexRef();
        if (cell.load() != -1) {
            return;
        }
        int index = g_nextIndex.fetch_add(1);
        QZ_ASSERT(index <= 65534);
        int unregistered = -1;
        if (!cell.compare_exchange_strong(unregistered, index)) {
            return;
        }
        TRegistry& registry = Registry();
        std::lock_guard lock(registry.lock);
        if (!registry.table.emplace(cls.ClassGUID(), &cls).second) {
            Raise("TGuidListEx_HashTable: Hashtable does not allow duplicates.");
        }
    } catch (...) {
        RaiseWithContext(Format("Failed to register packet class: %s", cls.Name()));
    }
}

const TPacketClass* FindPacketClass(const TGuid& guid) {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.lock);
    auto found = registry.table.find(guid);
    return found == registry.table.end() ? nullptr : found->second;
}

int PacketClassIndex(const TPacketClass& cls) {
    int index = cls.ClassIndexRef().load();
    QZ_ASSERT(index >= 1);
    return index;
}

} // namespace qz
