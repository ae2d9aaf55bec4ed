#include "StringLists.h"

#include "EnvUtils.h"
#include "Exceptions.h"
#include "Format.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace qz {

namespace {

unsigned char FoldAscii(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - ('a' - 'A')) : byte;
}

bool IsSwitchChar(char c) {
    return c == '-' || c == '/';
}

bool IsWordBlank(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool IsCommaBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

bool NeedsCommaQuotes(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return IsCommaBlank(c) || c == '"' || c == ','; });
}

/// The lines of a text: a line ends at CR LF, a lone CR or a lone LF; the rest after the last
/// break is a line only when it is not empty.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p = 0; p < text.size(); ++p) {
        char c = text[p];
        if (c != '\r' && c != '\n') {
            continue;
        }
        lines.emplace_back(text.substr(start, p - start));
        if (c == '\r' && p + 1 < text.size() && text[p + 1] == '\n') {
            ++p;
        }
        start = p + 1;
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

/// The words of a text as AssignWords produces them.
std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    auto emit = [&](size_t from, size_t to) {
        if (to > from) {
            words.emplace_back(text.substr(from, to - from));
        }
    };
    size_t start = 0;
    for (size_t p = 0; p < text.size(); ++p) {
        if (IsWordBlank(text[p])) {
            emit(start, p);
            start = p + 1;
        } else if (text[p] == '"') {
            size_t closing = text.find('"', p + 1);
            if (closing == std::string_view::npos) {
                break; // an unclosed quote takes the rest of the text into the current word
            }
            p = closing;
        }
    }
    emit(start, text.size());
    return words;
}

std::vector<std::string> ParseCommaText(std::string_view text) {
    // The text ends at a NUL byte; without this an embedded NUL would be an item boundary that
    // never advances.
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> items;
    size_t p = 0;
    const size_t n = text.size();
    auto skipBlanks = [&] {
        while (p < n && IsCommaBlank(text[p])) {
            ++p;
        }
    };
    skipBlanks();
    while (p < n) {
        std::string item;
        if (text[p] == '"') {
            ++p;
            while (p < n) {
                if (text[p] != '"') {
                    item += text[p++];
                } else if (p + 1 < n && text[p + 1] == '"') {
                    item += '"';
                    p += 2;
                } else {
                    ++p;
                    break;
                }
            }
        } else {
            size_t start = p;
            while (p < n && !IsCommaBlank(text[p]) && text[p] != ',') {
                ++p;
            }
            item.assign(text.substr(start, p - start));
        }
        items.push_back(std::move(item));
        skipBlanks();
        if (p < n && text[p] == ',') {
            ++p;
            skipBlanks();
        }
    }
    return items;
}

} // namespace

int CompareListStrings(std::string_view left, std::string_view right, bool caseSensitive) {
    const size_t n = std::min(left.size(), right.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = caseSensitive ? static_cast<unsigned char>(left[i]) : FoldAscii(left[i]);
        unsigned char b =
            caseSensitive ? static_cast<unsigned char>(right[i]) : FoldAscii(right[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

bool SameListStrings(std::string_view left, std::string_view right, bool caseSensitive) {
    return caseSensitive ? left == right : platform::SameTextAscii(left, right);
}

std::string Trim(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32) {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) {
        --last;
    }
    return std::string(text.substr(first, last - first));
}

std::string Unquote(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return std::string(text.substr(1, text.size() - 2));
    }
    return std::string(text);
}

template <typename Change>
void TStringListEx::WithRollback(Change&& change) {
    if (!sorted_ || duplicates_ != TDuplicates::Reject) {
        change();
        return;
    }
    std::vector<std::string> strings = strings_;
    std::vector<TObject> objects = objects_;
    const int capacity = capacity_;
    try {
        change();
    } catch (...) {
        strings_ = std::move(strings);
        objects_ = std::move(objects);
        capacity_ = capacity;
        strings_.reserve(capacity_);
        objects_.reserve(capacity_);
        throw;
    }
}

TStringListEx::TStringListEx(unsigned options, TObjectDeleter deleter)
    : caseSensitive_((options & StringListOption::CaseSensitive) != 0),
      sorted_((options & StringListOption::Sorted) != 0),
      ownsObjects_((options & StringListOption::OwnsObjects) != 0), deleter_(deleter) {
    if (options & StringListOption::IgnoreDuplicates) {
        duplicates_ = TDuplicates::Ignore;
    } else if (options & StringListOption::RejectDuplicates) {
        duplicates_ = TDuplicates::Reject;
    } else if (options & StringListOption::AcceptDuplicates) {
        duplicates_ = TDuplicates::Accept;
    }
    QZ_ASSERT(!ownsObjects_ || deleter_ != nullptr);
}

TStringListEx::TStringListEx(const std::vector<std::string>& strings, unsigned options)
    : TStringListEx(options & ~StringListOption::OwnsObjects) {
    for (const std::string& text : strings) {
        Add(text);
    }
}

TStringListEx::~TStringListEx() {
    Clear();
}

TStringListEx::TStringListEx(const TStringListEx& other)
    : strings_(other.strings_), objects_(other.objects_), capacity_(other.capacity_),
      caseSensitive_(other.caseSensitive_), sorted_(other.sorted_), duplicates_(other.duplicates_),
      ownsObjects_(other.ownsObjects_), deleter_(other.deleter_) {
    QZ_ASSERT(!other.ownsObjects_);
    strings_.reserve(capacity_);
    objects_.reserve(capacity_);
}

TStringListEx& TStringListEx::operator=(const TStringListEx& other) {
    if (this != &other) {
        TStringListEx copy(other);
        *this = std::move(copy);
    }
    return *this;
}

TStringListEx::TStringListEx(TStringListEx&& other) noexcept
    : strings_(std::move(other.strings_)), objects_(std::move(other.objects_)),
      capacity_(other.capacity_), caseSensitive_(other.caseSensitive_), sorted_(other.sorted_),
      duplicates_(other.duplicates_), ownsObjects_(other.ownsObjects_), deleter_(other.deleter_) {
    other.strings_.clear();
    other.objects_.clear();
    other.capacity_ = 0;
}

TStringListEx& TStringListEx::operator=(TStringListEx&& other) noexcept {
    if (this != &other) {
        Clear();
        strings_ = std::move(other.strings_);
        objects_ = std::move(other.objects_);
        capacity_ = other.capacity_;
        caseSensitive_ = other.caseSensitive_;
        sorted_ = other.sorted_;
        duplicates_ = other.duplicates_;
        ownsObjects_ = other.ownsObjects_;
        deleter_ = other.deleter_;
        other.strings_.clear();
        other.objects_.clear();
        other.capacity_ = 0;
    }
    return *this;
}

void TStringListEx::SetSorted(bool sorted) {
    if (sorted == sorted_) {
        return;
    }
    if (sorted) {
        Sort();
    }
    sorted_ = sorted;
}

const std::string& TStringListEx::At(int index) const {
    CheckIndex(index);
    return strings_[index];
}

void TStringListEx::SetAt(int index, std::string text) {
    CheckNotSorted();
    CheckIndex(index);
    strings_[index] = std::move(text);
}

TStringListEx::TObject TStringListEx::ObjectAt(int index) const {
    CheckIndex(index);
    return objects_[index];
}

void TStringListEx::SetObjectAt(int index, TObject object) {
    CheckIndex(index);
    TObject previous = objects_[index];
    if (previous == object) {
        return; // freeing it would leave the slot pointing at a freed object
    }
    objects_[index] = object;
    if (ownsObjects_ && previous != nullptr) {
        FreeObject(previous);
    }
}

void TStringListEx::SetCapacity(int n) {
    QZ_ASSERT(n >= Count());
    if (n == capacity_) {
        return;
    }
    std::vector<std::string> strings;
    std::vector<TObject> objects;
    strings.reserve(n);
    objects.reserve(n);
    std::move(strings_.begin(), strings_.end(), std::back_inserter(strings));
    objects.assign(objects_.begin(), objects_.end());
    strings_ = std::move(strings);
    objects_ = std::move(objects);
    capacity_ = n;
}

void TStringListEx::EnsureCapacity(int n) {
    if (n <= capacity_) {
        return;
    }
    int capacity = 16;
    while (capacity < n) {
        capacity *= 2;
    }
    SetCapacity(capacity);
}

int TStringListEx::Add(std::string text) {
    int index = Count();
    if (sorted_ && Find(text, index)) {
        if (duplicates_ == TDuplicates::Ignore) {
            return index;
        }
        if (duplicates_ == TDuplicates::Reject) {
            Raise("String list does not allow duplicates");
        }
    }
    InsertEntry(index, std::move(text), nullptr);
    return index;
}

int TStringListEx::AddWithObject(std::string text, TObject object) {
    int index = Add(std::move(text));
    SetObjectAt(index, object);
    return index;
}

void TStringListEx::Insert(int index, std::string text, TObject object) {
    CheckNotSorted();
    if (index < 0 || index > Count()) {
        Raise(Format("List index out of bounds (%d)", index));
    }
    InsertEntry(index, std::move(text), object);
}

void TStringListEx::Delete(int index) {
    CheckIndex(index);
    TObject object = objects_[index];
    strings_.erase(strings_.begin() + index);
    objects_.erase(objects_.begin() + index);
    if (ownsObjects_ && object != nullptr) {
        FreeObject(object);
    }
}

void TStringListEx::Clear() {
    std::vector<std::string> strings;
    std::vector<TObject> objects;
    strings.swap(strings_);
    objects.swap(objects_);
    capacity_ = 0;
    if (ownsObjects_) {
        for (TObject object : objects) {
            if (object != nullptr) {
                FreeObject(object);
            }
        }
    }
}

void TStringListEx::Swap(int left, int right) {
    CheckIndex(left);
    CheckIndex(right);
    ExchangeEntries(left, right);
}

int TStringListEx::IndexOf(std::string_view text) const {
    if (sorted_) {
        int index = -1;
        return Find(text, index) ? index : -1;
    }
    for (int i = 0; i < Count(); ++i) {
        if (SameListStrings(strings_[i], text, caseSensitive_)) {
            return i;
        }
    }
    return -1;
}

bool TStringListEx::Find(std::string_view text, int& index) const {
    return FindSorted(
        Count(), duplicates_,
        [&](int i) { return CompareListStrings(strings_[i], text, caseSensitive_); }, index);
}

void TStringListEx::Sort() {
    SortWith([](const TStringListEx& list, int left, int right) {
        return CompareListStrings(list.strings_[left], list.strings_[right], list.caseSensitive_);
    });
}

void TStringListEx::SortWith(const TListCompare& compare) {
    if (sorted_ || Count() < 2) {
        return;
    }
    QuickSort(0, Count() - 1, compare);
}

void TStringListEx::AppendList(const TStringListEx& source) {
    if (source.IsEmpty()) {
        return;
    }
    // Appending a list to itself reads a snapshot, not the entries being added.
    std::vector<std::string> selfStrings;
    std::vector<TObject> selfObjects;
    const std::vector<std::string>* strings = &source.strings_;
    const std::vector<TObject>* objects = &source.objects_;
    if (&source == this) {
        selfStrings = strings_;
        selfObjects = objects_;
        strings = &selfStrings;
        objects = &selfObjects;
    }
    EnsureCapacity(Count() + source.Count());
    WithRollback([&] {
        if (sorted_) {
            for (size_t i = 0; i < strings->size(); ++i) {
                AddWithObject((*strings)[i], (*objects)[i]);
            }
        } else {
            strings_.insert(strings_.end(), strings->begin(), strings->end());
            objects_.insert(objects_.end(), objects->begin(), objects->end());
        }
    });
}

void TStringListEx::Assign(const TStringListEx& source) {
    if (&source == this) {
        return;
    }
    TStringListEx fresh(Options() & ~StringListOption::OwnsObjects);
    fresh.AppendList(source);
    Clear();
    strings_ = std::move(fresh.strings_);
    objects_ = std::move(fresh.objects_);
    capacity_ = fresh.capacity_;
    fresh.capacity_ = 0;
}

bool TStringListEx::SameAs(const TStringListEx& other) const {
    return strings_ == other.strings_ && objects_ == other.objects_;
}

std::string TStringListEx::ToText() const {
    std::string text;
    for (const std::string& entry : strings_) {
        text += entry;
        text += "\r\n";
    }
    return text;
}

void TStringListEx::AssignText(std::string_view text) {
    ReplaceWith(SplitLines(text));
}

void TStringListEx::AddLines(std::string_view text) {
    AppendList(TStringListEx(SplitLines(text)));
}

std::string TStringListEx::ToCommaText() const {
    if (Count() == 1 && strings_[0].empty()) {
        return "\"\"";
    }
    std::string text;
    for (int i = 0; i < Count(); ++i) {
        if (i > 0) {
            text += ',';
        }
        const std::string& entry = strings_[i];
        if (!NeedsCommaQuotes(entry)) {
            text += entry;
            continue;
        }
        text += '"';
        for (char c : entry) {
            if (c == '"') {
                text += '"';
            }
            text += c;
        }
        text += '"';
    }
    return text;
}

void TStringListEx::AssignCommaText(std::string_view text) {
    ReplaceWith(ParseCommaText(text));
}

int TStringListEx::FindName(std::string_view name) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& entry = strings_[i];
        size_t equals = entry.find('=');
        if (equals == name.size() &&
            SameListStrings(std::string_view(entry).substr(0, equals), name, false)) {
            return i;
        }
    }
    return -1;
}

std::string TStringListEx::ValueOf(std::string_view name) const {
    int index = FindName(name);
    return index < 0 ? std::string() : strings_[index].substr(name.size() + 1);
}

void TStringListEx::SetValueOf(std::string_view name, std::string_view value) {
    int index = FindName(name);
    if (value.empty()) {
        if (index >= 0) {
            Delete(index);
        }
        return;
    }
    std::string entry = std::string(name) + "=" + std::string(value);
    if (index < 0) {
        Add(std::move(entry));
    } else if (!sorted_) {
        strings_[index] = std::move(entry);
    } else {
        // A sorted list cannot replace in place: the entry moves to its new ordered position
        // with its object.
        WithRollback([&] {
            TObject object = objects_[index];
            strings_.erase(strings_.begin() + index);
            objects_.erase(objects_.begin() + index);
            AddWithObject(std::move(entry), object);
        });
    }
}

std::string TStringListEx::NameAt(int index) const {
    const std::string& entry = At(index);
    size_t equals = entry.find('=');
    return equals == std::string::npos ? std::string() : entry.substr(0, equals);
}

std::string TStringListEx::ValueAt(int index) const {
    const std::string& entry = At(index);
    size_t equals = entry.find('=');
    return equals == std::string::npos ? std::string() : entry.substr(equals + 1);
}

std::string TStringListEx::CleanValueAt(int index, std::string_view name) const {
    const std::string& entry = At(index);
    if (name.empty()) {
        return Unquote(entry);
    }
    size_t valueStart = name.size() + 1;
    return Unquote(Trim(valueStart < entry.size() ? std::string_view(entry).substr(valueStart)
                                                  : std::string_view()));
}

int TStringListEx::RemoveName(std::string_view name) {
    int index = FindName(name);
    if (index >= 0) {
        Delete(index);
    }
    return index;
}

int TStringListEx::RemoveString(std::string_view text) {
    int index = IndexOf(text);
    if (index >= 0) {
        Delete(index);
    }
    return index;
}

int TStringListEx::IndexOfSwitch(std::string_view prefix) const {
    for (int i = 0; i < Count(); ++i) {
        std::string_view entry = strings_[i];
        if (entry.empty()) {
            continue;
        }
        if (prefix.empty()) {
            if (!IsSwitchChar(entry[0])) {
                return i;
            }
        } else if (IsSwitchChar(entry[0]) && entry.substr(1).starts_with(prefix)) {
            return i;
        }
    }
    return -1;
}

void TStringListEx::Split(std::string_view text, std::string_view separators, unsigned options) {
    // A tag is a number, not an object the list could free.
    QZ_ASSERT(!(ownsObjects_ && (options & SplitOption::TagSeparator)));
    const bool keepEmpty = (options & SplitOption::KeepEmpty) != 0;
    std::vector<std::pair<std::string, TObject>> pieces;
    auto emit = [&](size_t from, size_t to, unsigned char separator) {
        if (to == from && !keepEmpty) {
            return;
        }
        std::string piece(text.substr(from, to - from));
        TObject tag = nullptr;
        if (options & SplitOption::TagSeparator) {
            tag = reinterpret_cast<TObject>(static_cast<std::intptr_t>(separator));
        }
        if (options & SplitOption::TrimPieces) {
            piece = Trim(piece);
        }
        if (options & SplitOption::UnquotePieces) {
            piece = Unquote(piece);
        }
        if (!piece.empty() || keepEmpty) {
            pieces.emplace_back(std::move(piece), tag);
        }
    };

    size_t start = 0;
    unsigned char separator = 0;
    for (size_t p = 0; p < text.size(); ++p) {
        char c = text[p];
        if (separators.find(c) != std::string_view::npos) {
            emit(start, p, separator);
            separator = static_cast<unsigned char>(c);
            start = p + 1;
        }
        if (c == '"' && (options & SplitOption::RespectQuotes)) {
            size_t closing = text.find('"', p + 1);
            if (closing == std::string_view::npos) {
                break; // an unclosed quote takes the rest of the text into the current piece
            }
            p = closing;
        }
    }
    emit(start, text.size(), separator);

    WithRollback([&] {
        for (auto& [piece, tag] : pieces) {
            AddWithObject(std::move(piece), tag);
        }
    });
}

void TStringListEx::Split(std::string_view text, char separator, unsigned options) {
    Split(text, std::string_view(&separator, 1), options);
}

void TStringListEx::AssignWords(std::string_view text) {
    ReplaceWith(SplitWords(text));
}

void TStringListEx::AddWords(std::string_view text) {
    AppendList(TStringListEx(SplitWords(text)));
}

std::string TStringListEx::Join(std::string_view separator, bool quote, int first, int last) const {
    if (last < 0) {
        last = Count() - 1;
    }
    if (first > last) {
        return {};
    }
    CheckIndex(first);
    CheckIndex(last);
    std::string text;
    for (int i = first; i <= last; ++i) {
        if (i > first) {
            text += separator;
        }
        if (quote) {
            text += '"';
            text += strings_[i];
            text += '"';
        } else {
            text += strings_[i];
        }
    }
    return text;
}

std::string TStringListEx::Join(char separator, bool quote, int first, int last) const {
    return Join(std::string_view(&separator, 1), quote, first, last);
}

void TStringListEx::Enclose(std::string_view prefix, std::string_view suffix) {
    if (prefix.empty() && suffix.empty()) {
        return;
    }
    for (std::string& entry : strings_) {
        entry = std::string(prefix) + entry + std::string(suffix);
    }
}

void TStringListEx::ApplyToAll(const std::vector<TStringTransform>& transforms) {
    for (std::string& entry : strings_) {
        std::string text = entry;
        for (const TStringTransform& transform : transforms) {
            text = transform(text);
        }
        entry = std::move(text);
    }
}

unsigned TStringListEx::Options() const {
    unsigned options = 0;
    if (caseSensitive_) {
        options |= StringListOption::CaseSensitive;
    }
    if (sorted_) {
        options |= StringListOption::Sorted;
    }
    switch (duplicates_) {
    case TDuplicates::Ignore:
        options |= StringListOption::IgnoreDuplicates;
        break;
    case TDuplicates::Accept:
        options |= StringListOption::AcceptDuplicates;
        break;
    case TDuplicates::Reject:
        options |= StringListOption::RejectDuplicates;
        break;
    }
    if (ownsObjects_) {
        options |= StringListOption::OwnsObjects;
    }
    return options;
}

void TStringListEx::CheckIndex(int index) const {
    if (index < 0 || index >= Count()) {
        Raise(Format("List index out of bounds (%d)", index));
    }
}

void TStringListEx::CheckNotSorted() const {
    if (sorted_) {
        Raise("Operation not allowed on sorted string list");
    }
}

void TStringListEx::Grow() {
    int delta = 4;
    if (capacity_ > 64) {
        delta = capacity_ / 4;
    } else if (capacity_ > 8) {
        delta = 16;
    }
    SetCapacity(capacity_ + delta);
}

void TStringListEx::InsertEntry(int index, std::string text, TObject object) {
    if (Count() == capacity_) {
        Grow();
    }
    // Both vectors hold capacity_ slots, so neither insert reallocates or throws.
    strings_.insert(strings_.begin() + index, std::move(text));
    objects_.insert(objects_.begin() + index, object);
}

void TStringListEx::FreeObject(TObject object) const {
    deleter_(object);
}

void TStringListEx::QuickSort(int lo, int hi, const TListCompare& compare) {
    int i = 0;
    do {
        i = lo;
        int j = hi;
        int pivot = (lo + hi) / 2;
        do {
            while (compare(*this, i, pivot) < 0) {
                ++i;
            }
            while (compare(*this, j, pivot) > 0) {
                --j;
            }
            if (i <= j) {
                if (i != j) {
                    ExchangeEntries(i, j);
                }
                if (pivot == i) {
                    pivot = j;
                } else if (pivot == j) {
                    pivot = i;
                }
                ++i;
                --j;
            }
        } while (i <= j);
        if (lo < j) {
            QuickSort(lo, j, compare);
        }
        lo = i;
    } while (i < hi);
}

void TStringListEx::ExchangeEntries(int left, int right) {
    std::swap(strings_[left], strings_[right]);
    std::swap(objects_[left], objects_[right]);
}

void TStringListEx::ReplaceWith(const std::vector<std::string>& strings) {
    TStringListEx fresh(Options() & ~StringListOption::OwnsObjects);
    for (const std::string& text : strings) {
        fresh.Add(text);
    }
    Clear();
    strings_ = std::move(fresh.strings_);
    objects_ = std::move(fresh.objects_);
    capacity_ = fresh.capacity_;
    fresh.capacity_ = 0;
}

std::string IndentText(std::string_view text, int indent, std::string_view prefix,
                       std::string_view suffix) {
    if (indent == 0 && prefix.empty() && suffix.empty()) {
        return std::string(text);
    }
    const std::string spaces(static_cast<size_t>(std::max(indent, 0)), ' ');
    std::string result;
    for (const std::string& line : SplitLines(text)) {
        result.append(prefix).append(spaces).append(line).append(suffix).append("\r\n");
    }
    return result;
}

bool FindCommandLineValue(std::string_view name, std::string& value) {
    return FindCommandLineValueIn(ProcessCommandLine(), name, value);
}

bool FindCommandLineValueIn(std::string_view commandLine, std::string_view name,
                            std::string& value) {
    std::vector<std::string> words = SplitWords(commandLine);
    if (words.size() < 2) {
        return false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
        std::string word = std::move(words[i]);
        if (word.front() == '"') {
            word.erase(0, 1);
            if (!word.empty()) {
                word.pop_back();
            }
        }
        const size_t equals = name.size() + 1;
        if (word.size() > equals && IsSwitchChar(word[0]) && word[equals] == '=' &&
            SameListStrings(std::string_view(word).substr(1, name.size()), name, false)) {
            value = Unquote(std::string_view(word).substr(equals + 1));
            return true;
        }
    }
    return false;
}

} // namespace qz
