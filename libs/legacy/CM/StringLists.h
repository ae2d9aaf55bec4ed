#pragma once

// The extended string list and the string helpers it rests on.
//
// TStringListEx is the system's general list of byte strings. Every entry pairs a string with an
// opaque pointer-sized object slot. The console keeps its option list in one (a valued switch as
// name=value, a bare switch as its name), packets keep their string-list fields in one, and keyed
// collections use the sorted form with owned objects. Besides the ordinary list operations it
// offers name=value access, removal by string or by name, splitting at separator characters or
// at white space (with double-quote grouping), joining and transforms applied to every entry.
//
// Errors are the general Exception with one of the messages
//   "List index out of bounds (%d)", "Operation not allowed on sorted string list",
//   "String list does not allow duplicates";
// a refused operation leaves the list unchanged.
//
// Threads: none of its own. A list is used by one thread at a time.

#include "Exceptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

/// Removes leading and trailing bytes with a code <= 32.
std::string Trim(std::string_view text);

/// The text without its first and last character when it is at least 2 bytes long and both
/// begins and ends with a double quote; otherwise the text unchanged (no unescaping).
std::string Unquote(std::string_view text);

/// Ordering of list strings: byte-wise unsigned, a prefix sorts before the longer string. Without
/// case sensitivity only the letters a-z are mapped to A-Z first (no locale), so "_" sorts after
/// every letter. Returns <0, 0 or >0.
int CompareListStrings(std::string_view left, std::string_view right, bool caseSensitive);

/// Equality of list strings: equal length and equal bytes; without case sensitivity a pair of
/// bytes may also be the same ASCII letter in different case.
bool SameListStrings(std::string_view left, std::string_view right, bool caseSensitive);

/// Construction options of TStringListEx (bits of one byte).
namespace StringListOption {
inline constexpr unsigned CaseSensitive = 0x01;    ///< exact bytes; else ASCII letters fold
inline constexpr unsigned Sorted = 0x02;           ///< keeps ascending order
inline constexpr unsigned RejectDuplicates = 0x04; ///< sorted Add of an equal string raises
inline constexpr unsigned AcceptDuplicates = 0x08; ///< sorted Add of an equal string inserts
inline constexpr unsigned IgnoreDuplicates = 0x10; ///< sorted Add of an equal string is ignored
inline constexpr unsigned OwnsObjects = 0x20;      ///< the list frees its objects
} // namespace StringListOption

/// Options of TStringListEx::Split (bits).
namespace SplitOption {
inline constexpr unsigned UnquotePieces = 0x01; ///< pass each piece through Unquote
inline constexpr unsigned KeepEmpty = 0x02;     ///< add empty pieces too
inline constexpr unsigned TagSeparator = 0x04;  ///< object slot = code of the preceding separator
inline constexpr unsigned TrimPieces = 0x08;    ///< pass each piece through Trim (before Unquote)
inline constexpr unsigned RespectQuotes = 0x10; ///< separators inside "..." do not cut
} // namespace SplitOption

/// What adding a string equal to an existing one does to a sorted list. Unsorted lists never
/// test for duplicates.
enum class TDuplicates : std::uint8_t { Ignore = 0, Accept = 1, Reject = 2 };

/// The binary search of the sorted lists over count entries; compareAt(i) orders entry i against
/// the key (<0, 0 or >0). Returns whether an equal entry exists; index is then one such entry
/// (the first of them when duplicates are accepted), otherwise the position that keeps the order.
template <typename CompareAt>
bool FindSorted(int count, TDuplicates duplicates, CompareAt&& compareAt, int& index) {
    bool found = false;
    int lo = 0;
    int hi = count - 1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        int c = compareAt(mid);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                found = true;
                if (duplicates != TDuplicates::Accept) {
                    lo = mid;
                }
            }
        }
    }
    index = lo;
    return found;
}

class TStringListEx {
public:
    /// The object slot: an opaque pointer-sized value, usually an object, sometimes a small
    /// integer (see TagAt). Owned objects are freed with the list's deleter.
    using TObject = void*;
    /// Frees one owned object; called only for non-null slots of a list that owns its objects.
    using TObjectDeleter = void (*)(void* object);
    /// Compares the entries at two indices of the list: <0, 0 or >0.
    using TListCompare = std::function<int(const TStringListEx& list, int left, int right)>;
    /// One transform of ApplyToAll.
    using TStringTransform = std::function<std::string(const std::string& text)>;

    /// options: bits of StringListOption. With no duplicates bit the policy is ignore;
    /// IgnoreDuplicates wins over RejectDuplicates, which wins over AcceptDuplicates. A list with
    /// OwnsObjects needs a deleter (TObjectStringList<T> supplies one); a missing one is an
    /// assertion failure.
    explicit TStringListEx(unsigned options = 0, TObjectDeleter deleter = nullptr);
    /// A list with the options (OwnsObjects dropped) filled with the strings through Add.
    explicit TStringListEx(const std::vector<std::string>& strings, unsigned options = 0);
    /// Frees owned objects.
    virtual ~TStringListEx();

    /// Copies strings, objects and options. Copying a list that owns its objects would free them
    /// twice and is an assertion failure.
    TStringListEx(const TStringListEx& other);
    TStringListEx& operator=(const TStringListEx& other);
    /// Moves take the entries (and ownership) along; the source is left empty.
    TStringListEx(TStringListEx&& other) noexcept;
    TStringListEx& operator=(TStringListEx&& other) noexcept;

    // --- Options ---
    bool CaseSensitive() const { return caseSensitive_; }
    bool Sorted() const { return sorted_; }
    TDuplicates Duplicates() const { return duplicates_; }
    bool OwnsObjects() const { return ownsObjects_; }
    /// The options as StringListOption bits (the duplicates policy as its own bit).
    unsigned Options() const;
    /// No change if the flag equals the current mode; switching on sorts first, then marks the
    /// list sorted; switching off only clears the mark.
    void SetSorted(bool sorted);

    // --- Entries and storage ---
    int Count() const { return static_cast<int>(strings_.size()); }
    bool IsEmpty() const { return strings_.empty(); }
    /// The strings in list order.
    const std::vector<std::string>& Strings() const { return strings_; }
    std::vector<std::string>::const_iterator begin() const { return strings_.begin(); }
    std::vector<std::string>::const_iterator end() const { return strings_.end(); }

    /// Raises "List index out of bounds (%d)" unless 0 <= index < Count().
    const std::string& At(int index) const;
    const std::string& operator[](int index) const { return At(index); }
    /// Replaces the string, the object stays. Raises on a sorted list, then the index error.
    void SetAt(int index, std::string text);
    TObject ObjectAt(int index) const;
    /// With OwnsObjects the previous object is freed first (storing the object already held is
    /// a no-op).
    void SetObjectAt(int index, TObject object);
    /// The object slot read as a small integer (SplitOption::TagSeparator stores one).
    std::intptr_t TagAt(int index) const {
        return reinterpret_cast<std::intptr_t>(ObjectAt(index));
    }
    void SetTagAt(int index, std::intptr_t tag) {
        SetObjectAt(index, reinterpret_cast<TObject>(tag));
    }

    /// Number of entries the storage holds before it grows. Add and Insert grow a full list by
    /// a quarter above 64, by 16 above 8, else by 4 (0, 4, 8, 12, 28, 44, 60, 76, 95, 118...).
    int Capacity() const { return capacity_; }
    /// Reallocates the storage to n entries; n < Count() is an assertion failure.
    void SetCapacity(int n);
    /// If n > Capacity(): the capacity becomes the smallest of 16, 32, 64... that is >= n.
    void EnsureCapacity(int n);

    /// Unsorted: appends. Sorted: inserts at the ordered position; an equal string is ignored
    /// (returns its index), rejected ("String list does not allow duplicates") or inserted
    /// before the equal entries, by the duplicates policy. Returns the index of the entry.
    int Add(std::string text);
    /// Add, then SetObjectAt at the returned index; on a sorted list that ignores duplicates and
    /// already holds the string this replaces the object of the existing entry.
    int AddWithObject(std::string text, TObject object);
    /// Raises on a sorted list, then "List index out of bounds" unless 0 <= index <= Count().
    void Insert(int index, std::string text, TObject object = nullptr);
    /// Frees the entry's object if the list owns objects; later entries move down.
    void Delete(int index);
    /// Delete(0).
    void DeleteFirst() { Delete(0); }
    /// Frees owned objects; count and capacity become 0.
    void Clear();
    /// Exchanges strings and objects (the error names the first index out of range); allowed on
    /// sorted lists.
    void Swap(int left, int right);
    /// Last entry; on an empty list the index error with -1.
    const std::string& Last() const { return At(Count() - 1); }
    void SetLast(std::string text) { SetAt(Count() - 1, std::move(text)); }

    /// Sorted: Find. Unsorted: the first equal entry (SameListStrings). -1 when absent.
    int IndexOf(std::string_view text) const;
    bool Contains(std::string_view text) const { return IndexOf(text) >= 0; }
    /// Binary search (meaningful on a sorted list). index receives the found entry (the first of
    /// equal entries when duplicates are accepted) or the position that keeps the order.
    bool Find(std::string_view text, int& index) const;
    /// Sorts with the list's own ordering (does nothing on a list marked sorted). Not stable.
    void Sort();
    /// Quick sort with compare; does nothing when the list is marked sorted or has fewer than 2
    /// entries. Not stable.
    void SortWith(const TListCompare& compare);

    /// Adds the entries of source (strings and objects): a sorted list through AddWithObject in
    /// source order, an unsorted one at the end. On an error the list is left unchanged. Objects
    /// are shared, not copied: at most one of the two lists may own them.
    void AppendList(const TStringListEx& source);
    /// Clear, then AppendList.
    void Assign(const TStringListEx& source);
    /// Same count, equal strings (exact bytes) and identical object slots at every index.
    bool SameAs(const TStringListEx& other) const;

    // --- Text forms ---
    /// Every entry followed by CR LF; an empty list gives an empty text.
    std::string ToText() const;
    /// Clears, then adds one entry per line (lines end at CR LF, lone CR or lone LF; text after
    /// the last break is an entry only when not empty). On an error the list is unchanged.
    void AssignText(std::string_view text);
    /// Appends the lines AssignText would produce (through AppendList).
    void AddLines(std::string_view text);
    /// Entries joined with ","; an entry holding a byte <= space, a double quote or a comma is
    /// quoted with inner quotes doubled; a single empty entry gives "\"\"".
    std::string ToCommaText() const;
    /// Clears, then parses comma text: items separated by commas and/or blanks, a quoted item
    /// runs to its closing quote ("" inside stands for one quote; a missing closing quote runs
    /// to the end); two adjacent commas give an empty entry. The text ends at a NUL byte.
    void AssignCommaText(std::string_view text);

    // --- Name=value access (name = text before the first "=") ---
    /// The first entry holding "=" whose name equals name without regard to ASCII case; -1.
    int FindName(std::string_view name) const;
    /// The value of the FindName entry; empty when there is none.
    std::string ValueOf(std::string_view name) const;
    /// Non-empty value: replaces the FindName entry by name=value or appends it. Empty value:
    /// deletes the entry if there is one. On a sorted list a replaced entry moves to its ordered
    /// position and keeps its object.
    void SetValueOf(std::string_view name, std::string_view value);
    /// Text before the first "=", empty for a bare entry. Index error as At.
    std::string NameAt(int index) const;
    /// Text after the first "=", empty for a bare entry. Index error as At.
    std::string ValueAt(int index) const;
    /// With a non-empty name: Unquote(Trim(entry text after name and "=")); with an empty name:
    /// Unquote(entry). Index error as At.
    std::string CleanValueAt(int index, std::string_view name) const;
    /// Deletes the FindName entry; returns the index it had, or -1.
    int RemoveName(std::string_view name);
    /// Deletes the IndexOf entry; returns the index it had, or -1.
    int RemoveString(std::string_view text);
    /// Non-empty prefix: the first entry starting with "-" or "/" followed by prefix (exact
    /// bytes, a prefix match). Empty prefix: the first non-empty entry not starting with "-" or
    /// "/". Empty entries are skipped; -1 when none.
    int IndexOfSwitch(std::string_view prefix) const;
    bool HasSwitch(std::string_view prefix) const { return IndexOfSwitch(prefix) >= 0; }

    // --- Splitting, joining, transforming ---
    /// Appends (through AddWithObject) the pieces of text cut at any byte of separators;
    /// options are bits of SplitOption. On an error the list is left unchanged. TagSeparator on
    /// a list that owns its objects is an assertion failure.
    void Split(std::string_view text, std::string_view separators, unsigned options = 0);
    void Split(std::string_view text, char separator, unsigned options = 0);
    /// Clears, then adds the words of text separated by tab, LF, CR or space; a double-quoted
    /// stretch (quotes kept) belongs to its word, an unclosed quote runs to the end.
    void AssignWords(std::string_view text);
    /// Appends the words AssignWords would produce (through AppendList).
    void AddWords(std::string_view text);
    /// Entries first..last (last < 0: Count()-1) joined by separator; with quote every entry is
    /// put between double quotes (inner quotes untouched). An empty range (first > last) gives an
    /// empty text; a non-empty range outside the list raises the index error.
    std::string Join(std::string_view separator, bool quote = false, int first = 0,
                     int last = -1) const;
    std::string Join(char separator, bool quote = false, int first = 0, int last = -1) const;
    /// Join(' ') over the whole list.
    std::string JoinWords() const { return Join(' '); }
    /// When either is non-empty, every entry becomes prefix + entry + suffix.
    void Enclose(std::string_view prefix, std::string_view suffix);
    /// For every entry in order applies each transform in order and stores the result; a sorted
    /// list is not re-sorted.
    void ApplyToAll(const std::vector<TStringTransform>& transforms);

private:
    void CheckIndex(int index) const;
    void CheckNotSorted() const;
    void Grow();
    void InsertEntry(int index, std::string text, TObject object);
    void FreeObject(TObject object) const;
    void QuickSort(int lo, int hi, const TListCompare& compare);
    void ExchangeEntries(int left, int right);
    /// Replaces the entries by new strings (no objects), keeping the policy of the list; the
    /// list is untouched when adding fails.
    void ReplaceWith(const std::vector<std::string>& strings);
    /// Runs change; a list that can refuse duplicates gets its entries back if change throws.
    template <typename Change>
    void WithRollback(Change&& change);

    std::vector<std::string> strings_;
    std::vector<TObject> objects_;
    int capacity_ = 0;
    bool caseSensitive_ = false;
    bool sorted_ = false;
    TDuplicates duplicates_ = TDuplicates::Ignore;
    bool ownsObjects_ = false;
    TObjectDeleter deleter_ = nullptr;
};

/// A string list whose object slots hold T objects; with StringListOption::OwnsObjects it
/// deletes them.
template <typename T>
class TObjectStringList : public TStringListEx {
public:
    explicit TObjectStringList(unsigned options = 0)
        : TStringListEx(options, [](void* object) { delete static_cast<T*>(object); }) {}

    T* ObjectOf(int index) const { return static_cast<T*>(ObjectAt(index)); }
    /// Adds text with object; the list must own its objects (assertion). When Add refuses the
    /// string, the object is freed with the unique_ptr.
    int AddOwned(std::string text, std::unique_ptr<T> object);
};

/// indent 0 and empty prefix and suffix: the text unchanged. Otherwise the lines of the text (as
/// AssignText splits them) each made prefix + indent spaces + line + suffix, each ending in CR
/// LF.
std::string IndentText(std::string_view text, int indent, std::string_view prefix = {},
                       std::string_view suffix = {});

/// Reads a "/name=value" (or "-name=value") switch from the process command line (rebuilt from
/// the recorded argument vector): the first word after the program whose name equals name
/// without regard to ASCII case gives value = Unquote(text after "="), and true. Otherwise false
/// and value is left unchanged.
bool FindCommandLineValue(std::string_view name, std::string& value);

/// FindCommandLineValue over the given command line text instead of the process's.
bool FindCommandLineValueIn(std::string_view commandLine, std::string_view name,
                            std::string& value);

// --- Inline implementations ---

template <typename T>
int TObjectStringList<T>::AddOwned(std::string text, std::unique_ptr<T> object) {
    QZ_ASSERT(OwnsObjects());
    int index = Add(std::move(text));
    SetObjectAt(index, object.release());
    return index;
}

} // namespace qz
