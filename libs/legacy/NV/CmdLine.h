#pragma once

// Splitting a command line into tokens with the C-runtime rules, and the raw re-reading of
// switches that keeps their quotes.

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qz::nv {

/// Splits a text into tokens and keeps, beside each token, the raw text it came from.
class TCmdLineTokenizer {
public:
    virtual ~TCmdLineTokenizer() = default;

    /// Appends the tokens of the text to Arguments() and their raw texts to RawArguments().
    virtual void Tokenize(std::string_view text) = 0;

    const std::vector<std::string>& Arguments() const { return arguments_; }
    const std::vector<std::string>& RawArguments() const { return rawArguments_; }

protected:
    std::vector<std::string> arguments_;
    std::vector<std::string> rawArguments_;
};

/// The rules of the C runtime from 2008 on: blanks separate tokens, double quotes group, n
/// backslashes before a quote give n/2 backslashes (and a literal quote when n is odd), a doubled
/// quote inside a quoted stretch gives one quote.
class TCRTCmdLineTokenizer : public TCmdLineTokenizer {
public:
    TCRTCmdLineTokenizer() = default;
    explicit TCRTCmdLineTokenizer(std::string_view text) { Tokenize(text); }

    void Tokenize(std::string_view text) override;
};

/// The tokens of a text by the C-runtime rules.
std::vector<std::string> TokenizeCommandLine(std::string_view text);

/// Raw re-reading of switches: words split at blanks, CR and LF with quotes kept, "@" files read
/// recursively, and each "/" or "-" switch recorded under its name (case-insensitive, first
/// occurrence kept) with its value unquoted once.
class TCmdLineParser {
public:
    TCmdLineParser() = default;
    explicit TCmdLineParser(std::string_view text) { Read(text); }

    /// Splits the text and records its switches; the first word (the program) is skipped.
    void Read(std::string_view text);

    /// The recorded value of the switch, or the default.
    std::string SwitchValue(std::string_view name, const std::string& defaultValue = {}) const;

    /// True and the recorded value when the switch was read; false (value unchanged) otherwise.
    bool FindSwitch(std::string_view name, std::string& value) const;

    /// The words that are not switches, unquoted.
    const std::vector<std::string>& PlainArguments() const { return plain_; }

    /// The raw words of a text (quotes kept).
    static std::vector<std::string> SplitRaw(std::string_view text);

private:
    void ReadWords(const std::vector<std::string>& words, size_t first, int depth);

    struct LessNoCase {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::map<std::string, std::string, LessNoCase> switches_;
    std::vector<std::string> plain_;
};

} // namespace qz::nv
