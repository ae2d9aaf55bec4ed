// The catalogue of every packet class of the system and their registration at start-up. The
// catalogue is built once, on first use, from the class tables of the packet units; registration
// order is the catalogue order, TPacket first.

#include "BuildCommandPackets.h"
#include "MonitorPackets.h"
#include "Packets.h"
#include "ProductInfo.h"
#include "ServicePackets.h"

#include <mutex>
#include <unordered_map>

namespace qz {

namespace {

struct TCatalog {
    std::vector<std::unique_ptr<TPacketClass>> owned;
    std::vector<const TPacketClass*> all;
    std::unordered_map<std::string_view, const TPacketClass*> byName;
};

TCatalog BuildCatalog() {
    TCatalog catalog;
    catalog.all.push_back(&TPacket::StaticClass());
    const std::vector<TPacketClassDef>* tables[] = {
        &ProductInfoPacketClasses(), &BuildCommandPacketClasses(), &ServicePacketClasses(),
        &MonitorPacketClasses()};
    for (const auto* table : tables) {
        for (const TPacketClassDef& def : *table) {
            const TPacketClass* base =
                def.commPacket ? &TCommPacket::StaticClass() : &TPacket::StaticClass();
            catalog.owned.push_back(std::make_unique<TPacketClass>(def, base));
            catalog.all.push_back(catalog.owned.back().get());
        }
    }
    for (const TPacketClass* cls : catalog.all) {
        QZ_ASSERT(catalog.byName.emplace(cls->Name(), cls).second);
    }
    auto lookup = [&catalog](std::string_view name) -> const TPacketClass* {
        auto found = catalog.byName.find(name);
        return found == catalog.byName.end() ? nullptr : found->second;
    };
    for (auto& cls : catalog.owned) {
        cls->ResolveReferences(lookup);
    }
    return catalog;
}

const TCatalog& Catalog() {
    // Never destroyed: packets held by other static objects (the product information) are
    // released during exit after this function's statics, and their classes must still exist.
    static const TCatalog* catalog = new TCatalog(BuildCatalog());
    return *catalog;
}

} // namespace

const TPacketClass* FindPacketClassByName(std::string_view name) {
    const TCatalog& catalog = Catalog();
    auto found = catalog.byName.find(name);
    return found == catalog.byName.end() ? nullptr : found->second;
}

const std::vector<const TPacketClass*>& AllPacketClasses() {
    return Catalog().all;
}

void RegisterAllPacketClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const TPacketClass* cls : AllPacketClasses()) {
            RegisterPacketClass(*cls);
        }
    });
}

const TPacketClass& CatalogClass(const char* name) {
    const TPacketClass* cls = FindPacketClassByName(name);
    QZ_ASSERT(cls != nullptr);
    return *cls;
}

} // namespace qz
