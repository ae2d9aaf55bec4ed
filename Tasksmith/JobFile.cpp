#include "JobFile.h"

#include "CM/Exceptions.h"
#include "XmlInput.h"

#include <algorithm>
#include <libxml/tree.h>
#include <map>
#include <memory>
#include <set>

namespace qz::tasksmith {

namespace {

// A job file larger than this is refused before parsing (1,000 tasks take about 200 KiB).
constexpr std::int64_t kMaxJobFileSize = 64 * 1024 * 1024;

std::string Text(const xmlChar* s) {
    return s == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(s));
}

std::string Name(const xmlNode* node) {
    return Text(node->name);
}

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path[0] == '/';
}

std::string Resolve(const std::string& base, const std::string& path) {
    if (IsAbsolute(path) || base.empty()) {
        return path;
    }
    if (path.empty() || path == ".") {
        return base;
    }
    return base.back() == '/' ? base + path : base + "/" + path;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

// Reads one job document; every error goes through Fail with the line of the offending node.
class Reader {
public:
    Reader(std::string source, std::string base)
        : source_(std::move(source)), base_(std::move(base)) {}

    [[noreturn]] void Fail(int line, const std::string& message) const {
        if (line > 0) {
            Raise("Job file " + source_ + ", line " + std::to_string(line) + ": " + message);
        }
        Raise("Job file " + source_ + ": " + message);
    }

    static int Line(const xmlNode* node) { return static_cast<int>(xmlGetLineNo(node)); }

    std::string Attribute(const xmlNode* node, const char* name) const {
        xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
        std::string text = Text(value);
        xmlFree(value);
        return text;
    }

    bool HasAttribute(const xmlNode* node, const char* name) const {
        return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
    }

    void CheckAttributes(const xmlNode* node, std::initializer_list<std::string_view> allowed,
                         const std::string& what) const {
        for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
            std::string name = Text(a->name);
            if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
                Fail(Line(node), "unknown attribute \"" + name + "\" of " + what);
            }
        }
    }

    bool Boolean(const xmlNode* node, const char* name, bool fallback,
                 const std::string& what) const {
        if (!HasAttribute(node, name)) {
            return fallback;
        }
        std::string value = Attribute(node, name);
        std::transform(value.begin(), value.end(), value.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (value == "true" || value == "yes" || value == "1" || value == "on") {
            return true;
        }
        if (value == "false" || value == "no" || value == "0" || value == "off") {
            return false;
        }
        Fail(Line(node), "attribute \"" + std::string(name) + "\" of " + what +
                             " must be true or false, not \"" + value + "\"");
    }

    static std::string Content(const xmlNode* node) {
        xmlChar* content = xmlNodeGetContent(node);
        std::string text = Text(content);
        xmlFree(content);
        return text;
    }

    std::pair<std::string, std::string> Env(const xmlNode* node, const std::string& what) const {
        CheckAttributes(node, {"name", "value"}, "<env> of " + what);
        std::string name = Attribute(node, "name");
        if (name.empty() || name.find('=') != std::string::npos) {
            Fail(Line(node), "<env> of " + what + " needs a name without \"=\"");
        }
        return {name, Attribute(node, "value")};
    }

    std::string PathOf(const xmlNode* node, const std::string& folder,
                       const std::string& what) const {
        CheckAttributes(node, {"path"}, "<" + Name(node) + "> of " + what);
        std::string path = HasAttribute(node, "path") ? Attribute(node, "path") : Content(node);
        if (path.empty()) {
            Fail(Line(node), "<" + Name(node) + "> of " + what + " names no file");
        }
        return Resolve(folder, path);
    }

    void ReadTask(const xmlNode* node, JobSpec& job, std::vector<std::vector<std::string>>& deps,
                  std::vector<int>& depLines) {
        CheckAttributes(
            node, {"id", "caption", "folder", "remote", "depends", "cache", "cache-env"}, "<task>");
        JobTask task;
        task.line = Line(node);
        task.id = Attribute(node, "id");
        if (task.id.empty()) {
            Fail(task.line, "a <task> has no id");
        }
        const std::string what = "task \"" + task.id + "\"";
        task.caption = HasAttribute(node, "caption") ? Attribute(node, "caption") : task.id;
        task.folder = Resolve(base_, Attribute(node, "folder"));
        task.remote = Boolean(node, "remote", false, what);
        task.cacheable = Boolean(node, "cache", false, what);
        task.cacheEnv = SplitBlanks(Attribute(node, "cache-env"));
        std::vector<std::string> taskDeps = SplitBlanks(Attribute(node, "depends"));
        bool hasCommand = false;
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) {
                if (child->type == XML_TEXT_NODE && !SplitBlanks(Content(child)).empty()) {
                    Fail(Line(child), "text outside an element in " + what);
                }
                continue;
            }
            std::string name = Name(child);
            if (name == "shell" || name == "exec") {
                if (hasCommand) {
                    Fail(Line(child), what + " has more than one command");
                }
                hasCommand = true;
                CheckAttributes(child, {}, "<" + name + "> of " + what);
                if (name == "shell") {
                    task.shellLine = Content(child);
                    if (SplitBlanks(task.shellLine).empty()) {
                        Fail(Line(child), "the <shell> line of " + what + " is empty");
                    }
                } else {
                    for (const xmlNode* arg = child->children; arg != nullptr; arg = arg->next) {
                        if (arg->type == XML_ELEMENT_NODE) {
                            if (Name(arg) != "arg") {
                                Fail(Line(arg),
                                     "unknown element <" + Name(arg) + "> in <exec> of " + what);
                            }
                            CheckAttributes(arg, {}, "<arg> of " + what);
                            task.arguments.push_back(Content(arg));
                        } else if (arg->type == XML_TEXT_NODE &&
                                   !SplitBlanks(Content(arg)).empty()) {
                            Fail(Line(arg), "text outside <arg> in <exec> of " + what);
                        }
                    }
                    if (task.arguments.empty() || task.arguments[0].empty()) {
                        Fail(Line(child), "the <exec> of " + what + " names no program");
                    }
                }
            } else if (name == "env") {
                task.environment.push_back(Env(child, what));
            } else if (name == "depends") {
                CheckAttributes(child, {"on"}, "<depends> of " + what);
                std::vector<std::string> on = SplitBlanks(Attribute(child, "on"));
                if (on.empty()) {
                    Fail(Line(child), "a <depends> of " + what + " names no task");
                }
                taskDeps.insert(taskDeps.end(), on.begin(), on.end());
            } else if (name == "input") {
                task.inputs.push_back(PathOf(child, task.folder, what));
            } else if (name == "output") {
                task.outputs.push_back(PathOf(child, task.folder, what));
            } else if (name == "clean") {
                CheckAttributes(child, {}, "<clean> of " + what);
                task.cleanLine = Content(child);
            } else {
                Fail(Line(child), "unknown element <" + name + "> in " + what);
            }
        }
        if (!hasCommand) {
            Fail(task.line, what + " has no <shell> or <exec> command");
        }
        job.tasks.push_back(std::move(task));
        deps.push_back(std::move(taskDeps));
        depLines.push_back(job.tasks.back().line);
    }

    JobSpec Read(const xmlDoc* doc) {
        if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
            Fail(0, "document type declarations are not allowed");
        }
        const xmlNode* root = xmlDocGetRootElement(doc);
        if (root == nullptr || Name(root) != "job") {
            Fail(root == nullptr ? 0 : Line(root), "the root element must be <job>");
        }
        CheckAttributes(root, {"name", "slots", "keep-going", "remote-required"}, "<job>");
        JobSpec job;
        job.name = Attribute(root, "name");
        job.baseFolder = base_;
        job.keepGoing = Boolean(root, "keep-going", false, "<job>");
        job.remoteRequired = Boolean(root, "remote-required", false, "<job>");
        if (HasAttribute(root, "slots")) {
            std::string slots = Attribute(root, "slots");
            int value = 0;
            bool ok = !slots.empty() && slots.size() <= 6 &&
                      std::all_of(slots.begin(), slots.end(),
                                  [](unsigned char c) { return c >= '0' && c <= '9'; });
            if (ok) {
                value = std::stoi(slots);
            }
            if (!ok || value < 1) {
                Fail(Line(root),
                     "slots of <job> must be a whole number from 1, not \"" + slots + "\"");
            }
            job.slots = value;
        }
        EnvAdditions jobEnv;
        std::vector<std::vector<std::string>> deps;
        std::vector<int> depLines;
        for (const xmlNode* child = root->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) {
                if (child->type == XML_TEXT_NODE && !SplitBlanks(Content(child)).empty()) {
                    Fail(Line(child), "text outside a <task> in <job>");
                }
                continue;
            }
            if (Name(child) == "task") {
                ReadTask(child, job, deps, depLines);
            } else if (Name(child) == "env") {
                jobEnv.push_back(Env(child, "<job>"));
            } else {
                Fail(Line(child), "unknown element <" + Name(child) + "> in <job>");
            }
        }
        std::map<std::string, int> index;
        for (std::size_t i = 0; i < job.tasks.size(); ++i) {
            auto [it, inserted] = index.emplace(job.tasks[i].id, static_cast<int>(i));
            if (!inserted) {
                Fail(job.tasks[i].line, "duplicate task id \"" + job.tasks[i].id +
                                            "\" (first defined on line " +
                                            std::to_string(job.tasks[it->second].line) + ")");
            }
        }
        for (std::size_t i = 0; i < job.tasks.size(); ++i) {
            JobTask& task = job.tasks[i];
            std::set<int> seen;
            for (const std::string& dep : deps[i]) {
                auto it = index.find(dep);
                if (it == index.end()) {
                    Fail(depLines[i],
                         "task \"" + task.id + "\" depends on unknown task \"" + dep + "\"");
                }
                if (seen.insert(it->second).second) {
                    task.dependencies.push_back(it->second);
                }
            }
            // Job-wide additions come first so that a task's own value wins.
            task.environment.insert(task.environment.begin(), jobEnv.begin(), jobEnv.end());
        }
        if (job.tasks.empty()) {
            Fail(Line(root), "the job has no task");
        }
        OrderTasks(job, source_);
        return job;
    }

private:
    std::string source_;
    std::string base_;
};

} // namespace

std::string ShellQuote(const std::string& argument) {
    if (!argument.empty() &&
        argument.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789-_./=:,+@%") == std::string::npos) {
        return argument;
    }
    std::string quoted = "'";
    for (char c : argument) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string JobTask::CommandLine() const {
    if (!shellLine.empty()) {
        return shellLine;
    }
    std::string line;
    for (const std::string& a : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        line += ShellQuote(a);
    }
    return line;
}

JobSpec ParseJobXml(std::string_view text, const std::string& baseFolder,
                    const std::string& sourceName) {
    Reader reader(sourceName, baseFolder);
    if (static_cast<std::int64_t>(text.size()) > kMaxJobFileSize) {
        reader.Fail(0, "the file is larger than 64 MiB");
    }
    int line = 0;
    std::string message;
    XmlDocument doc = ParsePlainXml(text, sourceName, line, message);
    if (!doc) {
        reader.Fail(line, message);
    }
    return reader.Read(doc.get());
}

JobSpec LoadJobFile(const std::string& path) {
    std::string text;
    try {
        text = ReadWholeFile(path, kMaxJobFileSize);
    } catch (const Exception& e) {
        Raise("Job file " + path + ": cannot be read: " + e.Message());
    }
    return ParseJobXml(text, FolderOf(path), path);
}

JobSpec ShellJob(const std::string& line, const std::string& folder, const std::string& caption) {
    JobSpec job;
    job.baseFolder = folder;
    JobTask task;
    task.id = "1";
    task.caption = caption.empty() ? line : caption;
    task.shellLine = line;
    task.folder = folder;
    job.tasks.push_back(std::move(task));
    job.slots = 1;
    job.order = {0};
    return job;
}

void OrderTasks(JobSpec& job, const std::string& sourceName) {
    const int count = static_cast<int>(job.tasks.size());
    std::vector<int> pending(static_cast<std::size_t>(count), 0);
    std::vector<std::vector<int>> dependents(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        for (int dep : job.tasks[static_cast<std::size_t>(i)].dependencies) {
            if (dep < 0 || dep >= count) {
                Raise("Job file " + sourceName + ": task \"" +
                      job.tasks[static_cast<std::size_t>(i)].id + "\" depends on an unknown task");
            }
            ++pending[static_cast<std::size_t>(i)];
            dependents[static_cast<std::size_t>(dep)].push_back(i);
        }
    }
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (pending[static_cast<std::size_t>(i)] == 0) {
            order.push_back(i);
        }
    }
    for (std::size_t next = 0; next < order.size(); ++next) {
        for (int d : dependents[static_cast<std::size_t>(order[next])]) {
            if (--pending[static_cast<std::size_t>(d)] == 0) {
                order.push_back(d);
            }
        }
    }
    if (static_cast<int>(order.size()) == count) {
        job.order = std::move(order);
        return;
    }
    // Walk back along unfinished dependencies from a task left over until one repeats: that walk
    // has entered a cycle, which the message shows in dependency order.
    int start = 0;
    while (pending[static_cast<std::size_t>(start)] == 0) {
        ++start;
    }
    std::vector<int> path;
    std::vector<int> position(static_cast<std::size_t>(count), -1);
    int current = start;
    while (position[static_cast<std::size_t>(current)] < 0) {
        position[static_cast<std::size_t>(current)] = static_cast<int>(path.size());
        path.push_back(current);
        for (int dep : job.tasks[static_cast<std::size_t>(current)].dependencies) {
            if (pending[static_cast<std::size_t>(dep)] > 0) {
                current = dep;
                break;
            }
        }
    }
    std::vector<int> cycle(path.begin() + position[static_cast<std::size_t>(current)], path.end());
    std::string text;
    for (int t : cycle) {
        text += "\"" + job.tasks[static_cast<std::size_t>(t)].id + "\" -> ";
    }
    text += "\"" + job.tasks[static_cast<std::size_t>(cycle.front())].id + "\"";
    const JobTask& first = job.tasks[static_cast<std::size_t>(cycle.front())];
    Raise("Job file " + sourceName + ", line " + std::to_string(first.line) + ": task \"" +
          first.id + "\" is part of a dependency cycle: " + text);
}

} // namespace qz::tasksmith
