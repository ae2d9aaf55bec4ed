#pragma once

// The product information file: one TProductInformationPacket in "info.dat" beside the program,
// telling every component which service GUID, ports and product caption to use.

#include "Packets.h"

#include <memory>
#include <string>

namespace qz {

class TProductInformationPacket : public TPacket {
    QZ_PACKET_WRAPPER(TProductInformationPacket, TPacket)
    enum Field : int {
        OrvaneProductMode,
        ExecutionMode,
        SetupExecutionMode,
        ProductCaption,
        GridServiceID,
        CoordinatorServiceID,
        DefaultPortCoordinatorService,
        DefaultPortAgentService,
        DefaultPortAgentHelper,
        VsAddIn,
        VisualStudioBuilds,
        VisualStudioAddIn,
        SetupHelpHtml,
        ChmHelpFile,
    };
};

/// The product information of the process.
class TProductInfoLoader {
public:
    /// Reads fileName (empty: "info.dat" in the running program's folder). A missing file gives
    /// the defaults; a file that exists but cannot be read raises the LoadFromFile error.
    explicit TProductInfoLoader(const std::string& fileName = {});

    const std::string& FileName() const { return m_fileName; }
    const std::string& ProgramFile() const { return m_programFile; }
    const std::string& ProgramFolder() const { return m_programFolder; }
    const TProductInformationPacket& Info() const { return m_info; }
    const std::string& ProductName() const { return m_productName; }
    bool IsMainProduct() const { return m_isMainProduct; }
    bool VisualStudioBuilds() const { return m_visualStudioBuilds; }
    bool VisualStudioAddIn() const { return m_visualStudioAddIn; }
    /// Whether the file was found and read.
    bool FileRead() const { return m_fileRead; }

private:
    std::string m_fileName, m_programFile, m_programFolder;
    TProductInformationPacket m_info;
    std::string m_productName;
    bool m_isMainProduct = false, m_visualStudioBuilds = false, m_visualStudioAddIn = false;
    bool m_fileRead = false;
};

/// The process's loader: created on first use; while the file had not been found each call
/// creates it again (the file may have appeared since). Any thread; the loader returned stays
/// valid until the next call that re-creates it.
const TProductInfoLoader& ProductInformation(const std::string& fileName = {});

/// GridServiceID of the product information: the identity of the local "Build Service".
TGuid ServiceGuid();

/// The class table of this unit.
const std::vector<TPacketClassDef>& ProductInfoPacketClasses();

} // namespace qz
