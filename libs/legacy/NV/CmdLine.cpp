#include "CmdLine.h"

#include "CM/EnvUtils.h"
#include "CM/StreamUtils.h"
#include "CM/StringLists.h"

#include <algorithm>

namespace qz::nv {

void TCRTCmdLineTokenizer::Tokenize(std::string_view text) {
    std::vector<std::string> tokens = SplitCommandLine(text, &rawArguments_);
    arguments_.insert(arguments_.end(), std::make_move_iterator(tokens.begin()),
                      std::make_move_iterator(tokens.end()));
}

std::vector<std::string> TokenizeCommandLine(std::string_view text) {
    TCRTCmdLineTokenizer tokenizer(text);
    return tokenizer.Arguments();
}

bool TCmdLineParser::LessNoCase::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        return static_cast<unsigned char>(up(x)) < static_cast<unsigned char>(up(y));
    });
}

std::vector<std::string> TCmdLineParser::SplitRaw(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
            ++i;
        } else if (c == '"') {
            size_t close = text.find('"', i + 1);
            size_t end = close == std::string_view::npos ? text.size() : close + 1;
            word.append(text.substr(i, end - i));
            i = end;
        } else {
            word += c;
            ++i;
        }
    }
    if (!word.empty()) {
        words.push_back(std::move(word));
    }
    return words;
}

void TCmdLineParser::Read(std::string_view text) {
    ReadWords(SplitRaw(text), 1, 0);
}

void TCmdLineParser::ReadWords(const std::vector<std::string>& words, size_t first, int depth) {
    for (size_t i = first; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word[0] == '@') {
            // Option files may name further option files; a cycle stops at a fixed depth.
            std::string path = Unquote(word.substr(1));
            if (depth < 16 && FileIsPresent(path)) {
                ReadWords(SplitRaw(ReadFileText(path, 0)), 0, depth + 1);
            }
        } else if (word[0] == '/' || word[0] == '-') {
            size_t eq = word.find('=');
            std::string name = word.substr(1, eq == std::string::npos ? std::string::npos : eq - 1);
            std::string value =
                eq == std::string::npos ? std::string() : Unquote(word.substr(eq + 1));
            switches_.emplace(std::move(name), std::move(value));
        } else {
            plain_.push_back(Unquote(word));
        }
    }
}

std::string TCmdLineParser::SwitchValue(std::string_view name,
                                        const std::string& defaultValue) const {
    auto it = switches_.find(std::string(name));
    return it == switches_.end() ? defaultValue : it->second;
}

bool TCmdLineParser::FindSwitch(std::string_view name, std::string& value) const {
    auto it = switches_.find(std::string(name));
    if (it == switches_.end()) {
        return false;
    }
    value = it->second;
    return true;
}

} // namespace qz::nv
