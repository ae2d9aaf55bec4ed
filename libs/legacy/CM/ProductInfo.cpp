#include "ProductInfo.h"

#include "platform/AsciiText.h"
#include "platform/ProcessInfo.h"

#include <filesystem>
#include <mutex>

namespace qz {

namespace {

std::mutex g_loaderLock;
// Loaders are never destroyed: a loader is a packet, and packets must not outlive the class
// catalogue, which is made later than this unit's globals and so is destroyed before them when a
// program returns from main.
TProductInfoLoader* g_loader = nullptr;

} // namespace

const std::vector<TPacketClassDef>& ProductInfoPacketClasses() {
    using enum TValueType;
    static const std::vector<TPacketClassDef> classes = {
        {"TProductInformationPacket",
         "{250B5A66-4EF1-432A-9949-3CB94F9F5AA1}",
         false,
         {PF("OrvaneProductMode", Enum), PF("ExecutionMode", Enum), PF("SetupExecutionMode", Enum),
          PF("ProductCaption", String, "Orvane"), PF("GridServiceID", Guid),
          PF("CoordinatorServiceID", Guid), PF("DefaultPortCoordinatorService", Integer),
          PF("DefaultPortAgentService", Integer), PF("DefaultPortAgentHelper", Integer),
          PF("VsAddIn", Boolean, "true"), PF("VisualStudioBuilds", Boolean, "true"),
          PF("VisualStudioAddIn", Boolean, "true"), PF("SetupHelpHtml", String),
          PF("ChmHelpFile", String)},
         &MakePacketOf<TProductInformationPacket>},
    };
    return classes;
}

TProductInfoLoader::TProductInfoLoader(const std::string& fileName) {
    namespace fs = std::filesystem;
    m_programFile = platform::ExecutablePath();
    m_programFolder = fs::path(m_programFile).parent_path().string();
    m_fileName = !fileName.empty() ? fileName : (fs::path(m_programFolder) / "info.dat").string();
    std::error_code error;
    if (fs::exists(m_fileName, error)) {
        m_info.LoadFromFile(m_fileName, 0);
        m_fileRead = true;
    }
    m_productName = m_info.Str(TProductInformationPacket::ProductCaption);
    m_isMainProduct = platform::SameTextAscii(m_productName, "Orvane");
    m_visualStudioBuilds = m_info.Bool(TProductInformationPacket::VisualStudioBuilds);
    m_visualStudioAddIn = m_info.Bool(TProductInformationPacket::VisualStudioAddIn);
}

const TProductInfoLoader& ProductInformation(const std::string& fileName) {
    std::lock_guard lock(g_loaderLock);
    if (!g_loader || !g_loader->FileRead()) {
        // A loader handed out earlier stays alive (callers may still hold it) and reachable.
        static auto* retired = new std::vector<TProductInfoLoader*>;
        auto fresh = std::make_unique<TProductInfoLoader>(fileName);
        if (g_loader) {
            retired->push_back(g_loader);
        }
        g_loader = fresh.release();
    }
    return *g_loader;
}

TGuid ServiceGuid() {
    return ProductInformation().Info().Guid(TProductInformationPacket::GridServiceID);
}

} // namespace qz
