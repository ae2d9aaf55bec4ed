#pragma once

// Reading the XML documents Tasksmith is given (job files, interception profiles) as plain data:
// the whole file with a size limit, parsed without network, entity substitution or external
// DTDs.

#include <cstdint>
#include <libxml/tree.h>
#include <memory>
#include <string>
#include <string_view>

namespace qz::tasksmith {

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;

/// Parses text; on failure returns null with the line (0 when unknown) and libxml2's message.
XmlDocument ParsePlainXml(std::string_view text, const std::string& sourceName, int& errorLine,
                          std::string& errorMessage);

/// The whole file. Raises an Exception with the reason ("the file is larger than ...") when it
/// cannot be read or is larger than maxSize bytes.
std::string ReadWholeFile(const std::string& path, std::int64_t maxSize);

/// The text of a libxml2 string ("" for null).
inline std::string XmlText(const xmlChar* s) {
    return s == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(s));
}

} // namespace qz::tasksmith
