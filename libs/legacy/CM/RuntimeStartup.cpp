#include "RuntimeStartup.h"

#include "CrossRegistry.h"
#include "DiagLog.h"
#include "NvObjects.h"
#include "Packets.h"
#include "ProductInfo.h"

#include <mutex>

namespace qz {

std::string ProductNameFromInformation() {
    return ProductInformation().ProductName();
}

void RuntimeStartup() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Installed first: the diagnostic log asks for the name while it reads its settings.
        SetProductRegistryNameProvider(&ProductNameFromInformation);
        DiagLogStartup();
        CheckKernelObjectSupport();
        InitializeNamedObjects();
        RegisterAllPacketClasses();
    });
}

} // namespace qz
