#include "XmlInput.h"

#include "CM/Exceptions.h"
#include "CM/Stream.h"
#include "CM/StreamUtils.h"

#include <libxml/parser.h>

namespace qz::tasksmith {

namespace {

struct CtxtFree {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};

} // namespace

XmlDocument ParsePlainXml(std::string_view text, const std::string& sourceName, int& errorLine,
                          std::string& errorMessage) {
    errorLine = 0;
    errorMessage.clear();
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        errorMessage = "out of memory";
        return nullptr;
    }
    XmlDocument doc(xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()),
                                      sourceName.c_str(), nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    const xmlError* error = xmlCtxtGetLastError(ctxt.get());
    if (!doc || (error != nullptr && error->level >= XML_ERR_ERROR)) {
        errorMessage = error != nullptr && error->message != nullptr
                           ? std::string(error->message)
                           : std::string("not well-formed XML");
        while (!errorMessage.empty() &&
               (errorMessage.back() == '\n' || errorMessage.back() == ' ')) {
            errorMessage.pop_back();
        }
        errorMessage = "damaged XML: " + errorMessage;
        errorLine = error != nullptr ? error->line : 0;
        return nullptr;
    }
    return doc;
}

std::string ReadWholeFile(const std::string& path, std::int64_t maxSize) {
    std::string text;
    TFileStreamEx file(path, FileMode::Read);
    std::int64_t size = file.Size();
    if (size > maxSize) {
        Raise("the file is larger than " + std::to_string(maxSize / (1024 * 1024)) + " MiB");
    }
    text.resize(static_cast<std::size_t>(size));
    if (size > 0) {
        file.ReadBuffer(text.data(), size);
    }
    return text;
}

} // namespace qz::tasksmith
