#include "InterceptProfile.h"

#include "CM/Exceptions.h"
#include "XmlInput.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <charconv>
#include <libxml/tree.h>
#include <memory>

namespace qz::tasksmith {

namespace {

// A profile names a few dozen tools; anything this large is not one.
constexpr std::int64_t kMaxProfileSize = 4 * 1024 * 1024;
constexpr std::size_t kMaxTools = 4096;
constexpr std::size_t kMaxPattern = 4096;
constexpr int kMaxWaitSeconds = 7 * 24 * 3600;

std::string Text(const xmlChar* s) {
    return XmlText(s);
}

class ProfileReader {
public:
    explicit ProfileReader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void Fail(int line, const std::string& message) const {
        if (line > 0) {
            Raise("Interception profile " + source_ + ", line " + std::to_string(line) + ": " +
                  message);
        }
        Raise("Interception profile " + source_ + ": " + message);
    }

    static int Line(const xmlNode* node) { return static_cast<int>(xmlGetLineNo(node)); }

    static std::string Attribute(const xmlNode* node, const char* name) {
        xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
        std::string text = Text(value);
        xmlFree(value);
        return text;
    }

    static bool Has(const xmlNode* node, const char* name) {
        return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
    }

    void CheckAttributes(const xmlNode* node,
                         std::initializer_list<std::string_view> allowed) const {
        for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
            std::string name = Text(a->name);
            if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
                Fail(Line(node),
                     "unknown attribute \"" + name + "\" of <" + Text(node->name) + ">");
            }
        }
    }

    std::string Pattern(const xmlNode* node, const char* name) const {
        if (!Has(node, name)) {
            Fail(Line(node), "<" + Text(node->name) + "> needs the attribute \"" + name + "\"");
        }
        std::string value = Attribute(node, name);
        std::string problem = PatternProblem(value);
        if (!problem.empty()) {
            Fail(Line(node), "attribute \"" + std::string(name) + "\" of <" + Text(node->name) +
                                 "> " + problem);
        }
        return value;
    }

    InterceptTool Tool(const xmlNode* node) const {
        CheckAttributes(node, {"program", "remote", "waitLimit"});
        InterceptTool tool;
        tool.line = Line(node);
        tool.program = Pattern(node, "program");
        if (tool.program.find(':') != std::string::npos) {
            Fail(tool.line, "a program pattern cannot hold \":\"");
        }
        if (Has(node, "remote")) {
            std::string value = Attribute(node, "remote");
            if (value == "true") {
                tool.remote = true;
            } else if (value != "false") {
                Fail(tool.line,
                     "attribute \"remote\" must be true or false, not \"" + value + "\"");
            }
        }
        if (Has(node, "waitLimit")) {
            std::string value = Attribute(node, "waitLimit");
            int seconds = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (error != std::errc() || end != value.data() + value.size() || seconds < 1 ||
                seconds > kMaxWaitSeconds) {
                Fail(tool.line, "attribute \"waitLimit\" must be a number of seconds from 1 to " +
                                    std::to_string(kMaxWaitSeconds) + ", not \"" + value + "\"");
            }
            tool.waitSeconds = seconds;
        }
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) {
                CheckText(child);
                continue;
            }
            std::string name = Text(child->name);
            CheckAttributes(child, {"arg"});
            if (name == "Count") {
                tool.counted.push_back(Pattern(child, "arg"));
            } else if (name == "Local") {
                tool.local.push_back(Pattern(child, "arg"));
            } else {
                Fail(Line(child), "unknown element <" + name + "> in <Tool>");
            }
        }
        return tool;
    }

    void CheckText(const xmlNode* node) const {
        if (node->type == XML_COMMENT_NODE) {
            return;
        }
        if (node->type == XML_TEXT_NODE) {
            std::string text = Text(node->content);
            if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
                return;
            }
        }
        Fail(Line(node), "unexpected content");
    }

    InterceptProfile Read(xmlDoc* doc) const {
        const xmlNode* root = xmlDocGetRootElement(doc);
        if (root == nullptr || Text(root->name) != "InterceptProfile") {
            Fail(root != nullptr ? Line(root) : 0, "the root element must be <InterceptProfile>");
        }
        if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
            Fail(0, "a document type declaration is not allowed");
        }
        CheckAttributes(root, {"version"});
        if (Attribute(root, "version") != "1") {
            Fail(Line(root), "version \"" + Attribute(root, "version") +
                                 "\" is not supported (this Tasksmith reads version \"1\")");
        }
        InterceptProfile profile;
        profile.source = source_;
        for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
            if (node->type != XML_ELEMENT_NODE) {
                CheckText(node);
                continue;
            }
            if (Text(node->name) != "Tool") {
                Fail(Line(node),
                     "unknown element <" + Text(node->name) + "> in <InterceptProfile>");
            }
            if (profile.tools.size() >= kMaxTools) {
                Fail(Line(node), "more than " + std::to_string(kMaxTools) + " tools");
            }
            profile.tools.push_back(Tool(node));
        }
        return profile;
    }

    static std::string PatternProblem(const std::string& value) {
        if (value.empty()) {
            return "is empty";
        }
        if (value.size() > kMaxPattern) {
            return "is longer than " + std::to_string(kMaxPattern) + " characters";
        }
        if (std::any_of(value.begin(), value.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
            return "holds a control character";
        }
        return {};
    }

private:
    std::string source_;
};

bool IsPlainName(const std::string& pattern) {
    return pattern.find_first_of("/*?[]\\") == std::string::npos && pattern != "." &&
           pattern != "..";
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool AnyArgumentMatches(const std::vector<std::string>& patterns,
                        const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        for (const std::string& pattern : patterns) {
            if (platform::WildcardMatches(pattern, arguments[i])) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

InterceptProfile ParseInterceptProfile(std::string_view text, const std::string& sourceName) {
    ProfileReader reader(sourceName);
    if (static_cast<std::int64_t>(text.size()) > kMaxProfileSize) {
        reader.Fail(0, "the file is larger than 4 MiB");
    }
    int line = 0;
    std::string message;
    XmlDocument doc = ParsePlainXml(text, sourceName, line, message);
    if (!doc) {
        reader.Fail(line, message);
    }
    return reader.Read(doc.get());
}

InterceptProfile LoadInterceptProfile(const std::string& path) {
    std::string text;
    try {
        if (!platform::PathIsRegularFile(path)) {
            Raise("not a readable file");
        }
        text = ReadWholeFile(path, kMaxProfileSize);
    } catch (const Exception& e) {
        Raise("Interception profile " + path + ": cannot be read: " + e.Message());
    }
    return ParseInterceptProfile(text, path);
}

void ApplyAllowRemote(InterceptProfile& profile, const std::vector<std::string>& names) {
    if (names.empty()) {
        return;
    }
    for (const std::string& name : names) {
        std::string problem = ProfileReader::PatternProblem(name);
        if (problem.empty() && name.find(':') != std::string::npos) {
            problem = "holds \":\"";
        }
        if (!problem.empty()) {
            Raise("The /ALLOWREMOTE name \"" + name + "\" " + problem);
        }
    }
    for (InterceptTool& tool : profile.tools) {
        tool.remote = std::find(names.begin(), names.end(), tool.program) != names.end();
    }
    for (const std::string& name : names) {
        auto known = std::find_if(profile.tools.begin(), profile.tools.end(),
                                  [&](const InterceptTool& t) { return t.program == name; });
        if (known == profile.tools.end()) {
            InterceptTool tool;
            tool.program = name;
            tool.remote = true;
            profile.tools.push_back(std::move(tool));
        }
    }
}

ToolDecision DecideRun(const InterceptProfile& profile, const std::string& program,
                       const std::vector<std::string>& arguments) {
    ToolDecision decision;
    const std::string base = BaseName(program);
    for (std::size_t i = 0; i < profile.tools.size(); ++i) {
        const InterceptTool& tool = profile.tools[i];
        const bool byPath = tool.program.find('/') != std::string::npos;
        if (!platform::WildcardMatches(tool.program, byPath ? program : base)) {
            continue;
        }
        decision.tool = static_cast<int>(i);
        decision.counted = !AnyArgumentMatches(tool.local, arguments) &&
                           (tool.counted.empty() || AnyArgumentMatches(tool.counted, arguments));
        decision.remote = decision.counted && tool.remote;
        return decision;
    }
    return decision;
}

std::string ToolListText(const InterceptProfile& profile) {
    std::string text;
    for (const InterceptTool& tool : profile.tools) {
        text += (text.empty() ? "" : ":") + tool.program;
    }
    return text;
}

std::vector<std::string> MasqueradeNames(const InterceptProfile& profile) {
    std::vector<std::string> names;
    for (const InterceptTool& tool : profile.tools) {
        if (IsPlainName(tool.program) &&
            std::find(names.begin(), names.end(), tool.program) == names.end()) {
            names.push_back(tool.program);
        }
    }
    return names;
}

} // namespace qz::tasksmith
