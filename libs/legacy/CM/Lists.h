#pragma once

// Typed lists and hash tables of plain records (handles, process identifiers, callbacks, mapped
// views, packet classes by GUID). Two generic containers hold all storage, searching, sorting and
// growth:
//  - TCustomList: a contiguous array of entries, optionally kept sorted by key, with a duplicates
//    policy;
//  - TCustomHashTable: a chained hash table with a fixed, power-of-two number of buckets.
// A typed class is an instantiation over a traits type that gives the entry layout, the key, its
// order, equality and hash, what releasing an entry means, and the class name used in messages.
//
// Traits of a list: kClassName, kOptions (the options of the default constructor), Entry, Key,
// KeyOf(entry), SetKey(entry, key), Compare(a, b, caseInsensitive) -> <0/0/>0,
// Same(a, b, caseInsensitive) -> bool, Release(entry, options). A hash table's traits add
// Hash(key), kDuplicates and kBucketBits.
//
// None of the containers is thread-safe: owners that share one between threads guard it.

#include "EnvUtils.h"
#include "Exceptions.h"
#include "Stream.h"
#include "StringLists.h"
#include "platform/Handles.h"

#include <algorithm>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace qz {

/// Options of a list or hash table, given at construction.
namespace ListOption {
/// Entries stay in ascending key order; Find and binary IndexOf apply.
inline constexpr std::uint16_t Sorted = 0x0001;
/// Adding a key that a sorted list already holds is an error.
inline constexpr std::uint16_t RejectDuplicates = 0x0002;
/// A sorted list keeps equal keys side by side.
inline constexpr std::uint16_t AcceptDuplicates = 0x0004;
/// Adding a key that a sorted list already holds does nothing (the default).
inline constexpr std::uint16_t IgnoreDuplicates = 0x0008;
/// Releasing an entry frees the object it holds.
inline constexpr std::uint16_t OwnsEntries = 0x0010;
/// Releasing an entry unmaps the view it holds.
inline constexpr std::uint16_t UnmapsViews = 0x0020;
/// Releasing an entry closes the handle it holds.
inline constexpr std::uint16_t ClosesHandles = 0x0040;
/// String keys compare without regard to ASCII case.
inline constexpr std::uint16_t CaseInsensitiveKeys = 0x0100;
} // namespace ListOption

/// The 10-bit hash of a text. Letters that differ only in ASCII case give the same value, so one
/// hash serves tables with and without CaseInsensitiveKeys.
std::uint32_t StringHash(std::string_view text);

/// The 5-bit hash of the string tables with 32 buckets: h ^ (h >> 5), low 5 bits, of StringHash.
std::uint32_t ShortStringHash(std::string_view text);

/// Order of two key texts: byte-wise unsigned, a prefix first; case-insensitively the 26 letters
/// a-z are read as A-Z first (nothing else folds). Negative, zero or positive.
int CompareKeyText(std::string_view a, std::string_view b, bool caseInsensitive);

/// Equality of two key texts: equal length, and equal bytes or (case-insensitively) the same
/// ASCII letter.
bool SameKeyText(std::string_view a, std::string_view b, bool caseInsensitive);

namespace lists_detail {

[[noreturn]] void RaiseIndexError(const char* className, std::int64_t index);
[[noreturn]] void RaiseCapacityError(const char* className, std::int64_t capacity);
[[noreturn]] void RaiseListDuplicate(const char* className);
[[noreturn]] void RaiseHashDuplicate(const char* className);
[[noreturn]] void RaiseSortedAppend(const char* className);
[[noreturn]] void RaiseSortedSetKey(const char* className);
[[noreturn]] void RaiseOverwrite(const char* className, bool destruction);
inline constexpr std::uint16_t kDuplicatesBits =
    ListOption::RejectDuplicates | ListOption::AcceptDuplicates | ListOption::IgnoreDuplicates;
/// The policy of an option word: at most one duplicates bit (an assertion failure otherwise);
/// none is Ignore.
TDuplicates DuplicatesOf(std::uint16_t options);
/// The capacity after the one that was full: above 64 doubled, above 8 plus 16, else plus 4.
int GrowCapacity(int capacity);

template <typename T>
int CompareValues(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

inline int CompareAddresses(const void* a, const void* b) {
    return CompareValues(reinterpret_cast<std::uintptr_t>(a), reinterpret_cast<std::uintptr_t>(b));
}

/// Base of the traits whose entries hold nothing to release.
struct KeepsEntries;

/// Reads the magic word so that the compiler cannot assume its value.
inline std::uint32_t ReadMagic(const std::uint32_t& magic) {
    return *static_cast<const volatile std::uint32_t*>(&magic);
}

/// Clears the magic word in a destructor; a plain store there may be removed as dead.
inline void ClearMagic(std::uint32_t& magic) {
    *static_cast<volatile std::uint32_t*>(&magic) = 0;
}

} // namespace lists_detail

template <typename Traits>
class TCustomList {
public:
    using Entry = typename Traits::Entry;
    using Key = typename Traits::Key;

    /// Raises an assertion failure when more than one duplicates option is given.
    explicit TCustomList(std::uint16_t options = Traits::kOptions)
        : options_(static_cast<std::uint16_t>(options & ~lists_detail::kDuplicatesBits)),
          duplicates_(lists_detail::DuplicatesOf(options)) {}
    /// Releases every entry (as Clear). A destroyed or overwritten list is an assertion failure.
    ~TCustomList() {
        CheckAlive(true);
        Clear();
        lists_detail::ClearMagic(magic_);
    }
    TCustomList(const TCustomList&) = delete;
    TCustomList& operator=(const TCustomList&) = delete;

    static constexpr const char* ClassName() { return Traits::kClassName; }

    int Count() const { return static_cast<int>(entries_.size()); }
    int Capacity() const { return static_cast<int>(entries_.capacity()); }
    std::uint16_t Options() const { return options_; }
    TDuplicates Duplicates() const { return duplicates_; }
    bool IsSorted() const { return (options_ & ListOption::Sorted) != 0; }
    bool CaseInsensitiveKeys() const { return (options_ & ListOption::CaseInsensitiveKeys) != 0; }

    /// Reallocates to exactly capacity entries; "List capacity out of bounds (%d)" below Count.
    void SetCapacity(int capacity) {
        if (capacity < Count()) {
            lists_detail::RaiseCapacityError(ClassName(), capacity);
        }
        Reallocate(capacity);
    }

    /// The entry at index; "List index out of bounds (%d)" unless 0 <= index < Count.
    const Entry& operator[](int index) const {
        CheckIndex(index);
        return entries_[static_cast<std::size_t>(index)];
    }
    const Entry& Items(int index) const { return (*this)[index]; }
    /// The key of the entry at index (index test as above).
    Key KeyAt(int index) const { return Traits::KeyOf((*this)[index]); }
    const Entry* begin() const { return entries_.data(); }
    const Entry* end() const { return entries_.data() + entries_.size(); }

    /// Adds an entry and returns its index. Unsorted: appended, duplicates are not looked for.
    /// Sorted: at the index Find gives; an equal key present is ignored (its index returned,
    /// nothing stored), accepted (inserted before the equal entries) or rejected with
    /// ": List does not allow duplicates.".
    int Add(Entry entry) {
        int index = Count();
        if (!IsSorted()) {
            // A plain read, unlike CheckAlive, lets the optimiser keep a loop of appends tight.
            if (magic_ != kMagic) {
                lists_detail::RaiseOverwrite(ClassName(), false);
            }
            if (entries_.size() == entries_.capacity()) [[unlikely]] {
                Reallocate(lists_detail::GrowCapacity(index));
            }
            entries_.push_back(std::move(entry));
            return index;
        }
        if (Find(Traits::KeyOf(entry), index)) {
            if (duplicates_ == TDuplicates::Ignore) {
                return index;
            }
            if (duplicates_ == TDuplicates::Reject) {
                lists_detail::RaiseListDuplicate(ClassName());
            }
        }
        InsertAt(index, std::move(entry));
        return index;
    }

    /// Inserts an entry at index (0 <= index <= Count) of an unsorted list; on a sorted list it
    /// is an assertion failure.
    void Insert(int index, Entry entry) {
        QZ_ASSERT(!IsSorted());
        InsertAt(index, std::move(entry));
    }

    /// Releases the entry at index and closes the gap; an emptied list frees its storage.
    void Delete(int index) {
        CheckAlive();
        CheckIndex(index);
        auto position = entries_.begin() + index;
        Traits::Release(*position, options_);
        entries_.erase(position);
        if (entries_.empty()) {
            Reallocate(0);
        }
    }
    void DeleteFirst() { Delete(0); }
    void DeleteLast() { Delete(Count() - 1); }

    /// Takes the entry at index out without releasing it; the storage is kept.
    Entry Extract(int index) {
        CheckAlive();
        CheckIndex(index);
        auto position = entries_.begin() + index;
        Entry entry = std::move(*position);
        entries_.erase(position);
        return entry;
    }

    /// Moves the entry at from to index to; the entries between shift by one.
    void MoveItem(int from, int to) {
        if (from == to) {
            return;
        }
        CheckIndex(from);
        CheckIndex(to);
        auto first = entries_.begin();
        if (from < to) {
            std::rotate(first + from, first + from + 1, first + to + 1);
        } else {
            std::rotate(first + to, first + from, first + from + 1);
        }
    }

    /// Releases every entry in index order and frees the storage.
    void Clear() {
        CheckAlive();
        if constexpr (!kKeepsEntries) {
            for (Entry& entry : entries_) {
                Traits::Release(entry, options_);
            }
        }
        Reallocate(0);
    }

    /// Binary search of a sorted list. Returns whether the key is present; index is then the
    /// found entry (the first of the equal ones when duplicates are accepted), otherwise the
    /// position that keeps the order.
    bool Find(const Key& key, int& index) const {
        return FindSorted(
            Count(), duplicates_, [&](int i) { return CompareAt(i, key); }, index);
    }

    /// The index of an entry with the key, or -1. Sorted: the first probed entry of a binary
    /// search that compares equal; unsorted: the first equal entry from index 0.
    int IndexOf(const Key& key) const {
        if (IsSorted()) {
            int lo = 0;
            int hi = Count() - 1;
            while (lo <= hi) {
                int mid = lo + (hi - lo) / 2;
                int c = CompareAt(mid, key);
                if (c < 0) {
                    lo = mid + 1;
                } else if (c > 0) {
                    hi = mid - 1;
                } else {
                    return mid;
                }
            }
            return -1;
        }
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (Traits::Same(key, Traits::KeyOf(entries_[i]), CaseInsensitiveKeys())) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    /// The entry with the key (as IndexOf), or nullptr.
    const Entry* Lookup(const Key& key) const {
        int index = IndexOf(key);
        return index < 0 ? nullptr : &entries_[static_cast<std::size_t>(index)];
    }

    /// Deletes every entry with the key and returns how many. Unsorted lists are scanned from
    /// the last entry to the first.
    int RemoveAll(const Key& key) {
        CheckAlive();
        std::size_t first = 0;
        std::size_t last = 0;
        if (IsSorted()) {
            int index = 0;
            if (!Find(key, index)) {
                return 0;
            }
            first = static_cast<std::size_t>(index);
            last = first + 1;
            while (last < entries_.size() && CompareAt(static_cast<int>(last), key) == 0) {
                ++last;
            }
            while (first > 0 && CompareAt(static_cast<int>(first) - 1, key) == 0) {
                --first;
            }
            for (std::size_t i = first; i < last; ++i) {
                Traits::Release(entries_[i], options_);
            }
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(first),
                           entries_.begin() + static_cast<std::ptrdiff_t>(last));
        } else {
            auto equal = [&](const Entry& entry) {
                return Traits::Same(key, Traits::KeyOf(entry), CaseInsensitiveKeys());
            };
            for (std::size_t i = entries_.size(); i-- > 0;) {
                if (equal(entries_[i])) {
                    Traits::Release(entries_[i], options_);
                    ++last;
                }
            }
            entries_.erase(std::remove_if(entries_.begin(), entries_.end(), equal), entries_.end());
        }
        if (entries_.empty()) {
            Reallocate(0);
        }
        return static_cast<int>(last - first);
    }

    /// Sorts by key; nothing on a list kept sorted. Equal keys may end in any order.
    void Sort() {
        if (IsSorted() || entries_.size() <= 1) {
            return;
        }
        const bool caseInsensitive = CaseInsensitiveKeys();
        std::sort(
            entries_.begin(), entries_.end(), [caseInsensitive](const Entry& a, const Entry& b) {
                return Traits::Compare(Traits::KeyOf(a), Traits::KeyOf(b), caseInsensitive) < 0;
            });
    }

    /// Switches between sorted (the entries are sorted first) and unsorted mode.
    void SetSorted(bool sorted) {
        if (sorted == IsSorted()) {
            return;
        }
        if (sorted) {
            Sort();
            options_ |= ListOption::Sorted;
        } else {
            options_ &= static_cast<std::uint16_t>(~ListOption::Sorted);
        }
    }

    /// Moves all of other's entries to the end of this unsorted list without copying or
    /// releasing them; other is left empty with its storage freed. On a sorted list it raises
    /// ": Cannot add multiple items to a sorted list.".
    void AppendAll(TCustomList& other) {
        CheckAlive();
        QZ_ASSERT(&other != this);
        if (IsSorted()) {
            lists_detail::RaiseSortedAppend(ClassName());
        }
        if (Count() + other.Count() > Capacity()) {
            Reallocate(Count() + other.Count());
        }
        std::move(other.entries_.begin(), other.entries_.end(), std::back_inserter(entries_));
        other.entries_.clear();
        other.Reallocate(0);
    }

    /// Copies other's entries in at index (0 <= index <= Count); other is unchanged. Capacity
    /// becomes exactly Count + other's Count. A sorted list needs a sorted other with the same
    /// CaseInsensitiveKeys; other must not be this list; two lists that both release what their
    /// entries hold would release it twice. Each of these is an assertion failure.
    void InsertList(const TCustomList& other, int index) {
        CheckAlive();
        QZ_ASSERT(&other != this);
        QZ_ASSERT(!IsSorted() ||
                  (other.IsSorted() && other.CaseInsensitiveKeys() == CaseInsensitiveKeys()));
        QZ_ASSERT((options_ & kReleaseOptions) == 0 || (other.options_ & kReleaseOptions) == 0);
        if (index < 0 || index > Count()) {
            lists_detail::RaiseIndexError(ClassName(), index);
        }
        if (other.entries_.empty()) {
            return;
        }
        std::vector<Entry> entries;
        entries.reserve(entries_.size() + other.entries_.size());
        std::move(entries_.begin(), entries_.begin() + index, std::back_inserter(entries));
        entries.insert(entries.end(), other.entries_.begin(), other.entries_.end());
        std::move(entries_.begin() + index, entries_.end(), std::back_inserter(entries));
        entries_.swap(entries);
    }

    /// Clear, then InsertList(other, 0).
    void Assign(const TCustomList& other) {
        QZ_ASSERT(&other != this);
        Clear();
        InsertList(other, 0);
    }

    /// Same count and pairwise equal keys in index order.
    bool SameAs(const TCustomList& other) const {
        if (other.Count() != Count()) {
            return false;
        }
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (!Traits::Same(Traits::KeyOf(entries_[i]), Traits::KeyOf(other.entries_[i]),
                              CaseInsensitiveKeys())) {
                return false;
            }
        }
        return true;
    }

    /// Writes the count as a compact count, then the entries' bytes (little-endian). Only lists
    /// of plain data without padding can be streamed.
    void
    SaveToStream(TStream& stream) const requires std::has_unique_object_representations_v<Entry> {
        static_assert(std::endian::native == std::endian::little);
        WriteCompactCount(stream, Count());
        stream.WriteBuffer(entries_.data(),
                           static_cast<std::int64_t>(entries_.size() * sizeof(Entry)));
    }

    /// Replaces the entries with a count and entries written by SaveToStream; capacity = count.
    /// A stream that ends early raises "Stream read error" and leaves the list unchanged.
    void LoadFromStream(TStream& stream) requires std::has_unique_object_representations_v<Entry> {
        static_assert(std::endian::native == std::endian::little);
        CheckAlive();
        const std::size_t count = static_cast<std::size_t>(ReadCompactCount(stream));
        // Read in slices so that a damaged count cannot allocate gigabytes before the stream
        // runs out.
        constexpr std::size_t kSlice = (std::size_t(1) << 20) / sizeof(Entry);
        std::vector<Entry> entries;
        entries.reserve(std::min(count, kSlice));
        while (entries.size() < count) {
            std::size_t loaded = entries.size();
            entries.resize(loaded + std::min(count - loaded, kSlice));
            stream.ReadBuffer(entries.data() + loaded,
                              static_cast<std::int64_t>((entries.size() - loaded) * sizeof(Entry)));
        }
        Clear();
        entries_.swap(entries);
        Reallocate(static_cast<int>(count));
    }

    /// Replaces the key of the entry at index of an unsorted list; on a sorted list it raises
    /// ": Cannot set value of an index field in a sorted/hashed list".
    void SetKeyAt(int index, const Key& key) {
        CheckIndex(index);
        if (IsSorted()) {
            lists_detail::RaiseSortedSetKey(ClassName());
        }
        Traits::SetKey(entries_[static_cast<std::size_t>(index)], key);
    }

    /// Sets one field of the entry at index (list.SetField(i, &Entry::value, v)). A change of the
    /// key of a sorted list is refused as by SetKeyAt.
    template <typename Field, typename V>
    requires std::is_member_object_pointer_v<Field>
    void SetField(int index, Field field, V&& value) {
        CheckIndex(index);
        Entry& entry = entries_[static_cast<std::size_t>(index)];
        if (IsSorted()) {
            Entry probe = entry;
            probe.*field = value;
            if (Traits::Compare(Traits::KeyOf(probe), Traits::KeyOf(entry),
                                CaseInsensitiveKeys()) != 0) {
                lists_detail::RaiseSortedSetKey(ClassName());
            }
        }
        entry.*field = std::forward<V>(value);
    }

private:
    static constexpr std::uint32_t kMagic = 0x56AB84FD;
    // Entries with nothing to release need no pass over them, which keeps the destructor small
    // enough to inline.
    static constexpr bool kKeepsEntries = std::is_base_of_v<lists_detail::KeepsEntries, Traits>;
    static constexpr std::uint16_t kReleaseOptions =
        ListOption::OwnsEntries | ListOption::UnmapsViews | ListOption::ClosesHandles;

    void CheckAlive(bool destruction = false) const {
        if (lists_detail::ReadMagic(magic_) != kMagic) {
            lists_detail::RaiseOverwrite(ClassName(), destruction);
        }
    }

    void CheckIndex(int index) const {
        if (index < 0 || index >= Count()) {
            lists_detail::RaiseIndexError(ClassName(), index);
        }
    }

    int CompareAt(int index, const Key& key) const {
        return Traits::Compare(Traits::KeyOf(entries_[static_cast<std::size_t>(index)]), key,
                               CaseInsensitiveKeys());
    }

    void InsertAt(int index, Entry&& entry) {
        CheckAlive();
        if (index < 0 || index > Count()) {
            lists_detail::RaiseIndexError(ClassName(), index);
        }
        if (Count() == Capacity()) {
            Reallocate(lists_detail::GrowCapacity(Count()));
        }
        entries_.insert(entries_.begin() + index, std::move(entry));
    }

    // The vector's capacity is the list's: reserve on a smaller vector allocates exactly the
    // requested size.
    void Reallocate(int capacity) {
        if (capacity == 0) {
            std::vector<Entry>().swap(entries_);
        } else if (static_cast<std::size_t>(capacity) > entries_.capacity()) {
            entries_.reserve(static_cast<std::size_t>(capacity));
        } else if (static_cast<std::size_t>(capacity) < entries_.capacity()) {
            std::vector<Entry> entries;
            entries.reserve(static_cast<std::size_t>(capacity));
            std::move(entries_.begin(), entries_.end(), std::back_inserter(entries));
            entries_.swap(entries);
        }
    }

    std::uint32_t magic_ = kMagic;
    std::uint16_t options_;
    TDuplicates duplicates_;
    std::vector<Entry> entries_;
};

template <typename Traits>
class TCustomHashTable {
public:
    using Entry = typename Traits::Entry;
    using Key = typename Traits::Key;
    using HashFunction = std::uint32_t (*)(const Key&);

    /// A table of 2^bucketBits buckets (at most 2^24). No memory is taken before the first Add.
    explicit TCustomHashTable(TDuplicates duplicates = Traits::kDuplicates,
                              std::uint16_t options = Traits::kOptions,
                              int bucketBits = Traits::kBucketBits,
                              HashFunction hash = &Traits::Hash)
        : options_(options), duplicates_(duplicates), bucketBits_(bucketBits), hash_(hash) {
        QZ_ASSERT(bucketBits >= 0 && bucketBits <= 24);
        QZ_ASSERT(hash != nullptr);
    }
    /// Releases every entry (as Clear). A destroyed or overwritten table is an assertion failure.
    ~TCustomHashTable() {
        CheckAlive(true);
        Clear();
        lists_detail::ClearMagic(magic_);
    }
    TCustomHashTable(const TCustomHashTable&) = delete;
    TCustomHashTable& operator=(const TCustomHashTable&) = delete;

    static constexpr const char* ClassName() { return Traits::kClassName; }

    int Count() const { return count_; }
    int BucketCount() const { return 1 << bucketBits_; }
    std::uint16_t Options() const { return options_; }
    TDuplicates Duplicates() const { return duplicates_; }
    bool CaseInsensitiveKeys() const { return (options_ & ListOption::CaseInsensitiveKeys) != 0; }

    /// Adds an entry at the head of its bucket's chain and returns true. Unless duplicates are
    /// accepted, an existing key is ignored (false, nothing changed) or rejected with
    /// ": Hashtable does not allow duplicates.". Not allowed inside ForEach.
    bool Add(Entry entry) {
        CheckAlive();
        QZ_ASSERT(visiting_ == 0);
        const Key& key = Traits::KeyOf(entry);
        if (duplicates_ != TDuplicates::Accept && Find(key) != nullptr) {
            if (duplicates_ == TDuplicates::Reject) {
                lists_detail::RaiseHashDuplicate(ClassName());
            }
            return false;
        }
        std::uint32_t bucket = hash_(key) & Mask();
        if (!buckets_) {
            buckets_ = std::make_unique<Node*[]>(static_cast<std::size_t>(BucketCount()));
        }
        Node* node = NewNode(std::move(entry));
        node->next = buckets_[bucket];
        buckets_[bucket] = node;
        ++count_;
        return true;
    }

    /// The first entry of the key's chain with an equal key, or nullptr. Callers may change the
    /// entry's values but not its key.
    Entry* Find(const Key& key) {
        if (count_ == 0) {
            return nullptr;
        }
        const bool caseInsensitive = CaseInsensitiveKeys();
        for (Node* node = buckets_[hash_(key) & Mask()]; node; node = node->next) {
            if (Traits::Same(key, Traits::KeyOf(node->entry), caseInsensitive)) {
                return &node->entry;
            }
        }
        return nullptr;
    }
    const Entry* Find(const Key& key) const {
        return const_cast<TCustomHashTable*>(this)->Find(key);
    }

    bool Contains(const Key& key) const { return Find(key) != nullptr; }

    /// The field of the entry with the key (table.ValueOf(k, &Entry::value, 0)), or fallback.
    template <typename F>
    F ValueOf(const Key& key, F Entry::*field, F fallback) const {
        const Entry* entry = Find(key);
        return entry ? entry->*field : fallback;
    }

    /// Calls callback(entry) -> bool, or callback(entry, bool& remove) -> bool, for the entries:
    /// buckets from the last to the first, each chain newest first; stops when the callback
    /// returns false. Setting remove releases the visited entry and takes it out of the table.
    /// Returns the number of calls. The callback must not Add, Clear or Assign.
    template <typename Callback>
    int ForEach(Callback&& callback) {
        int calls = 0;
        if (count_ == 0) {
            return 0;
        }
        ++visiting_;
        struct Guard {
            int& visiting;
            ~Guard() { --visiting; }
        } guard{visiting_};
        for (int bucket = BucketCount() - 1; bucket >= 0; --bucket) {
            Node** link = &buckets_[static_cast<std::size_t>(bucket)];
            while (*link) {
                Node* node = *link;
                bool remove = false;
                bool more;
                if constexpr (std::is_invocable_r_v<bool, Callback&, Entry&, bool&>) {
                    more = callback(node->entry, remove);
                } else {
                    more = callback(node->entry);
                }
                ++calls;
                if (remove) {
                    *link = node->next;
                    Traits::Release(node->entry, options_);
                    FreeNode(node);
                    --count_;
                } else {
                    link = &node->next;
                }
                if (!more) {
                    return calls;
                }
            }
        }
        return calls;
    }

    /// Visits the entries in ForEach order without changing them.
    template <typename Callback>
    int ForEach(Callback&& callback) const {
        return const_cast<TCustomHashTable*>(this)->ForEach(
            [&callback](Entry& entry) { return callback(static_cast<const Entry&>(entry)); });
    }

    /// Releases every entry in ForEach order, frees the node storage, empties the buckets.
    void Clear() {
        CheckAlive();
        QZ_ASSERT(visiting_ == 0);
        if (count_ > 0) {
            ForEach([this](Entry& entry) {
                Traits::Release(entry, options_);
                return true;
            });
            for (int bucket = 0; bucket < BucketCount(); ++bucket) {
                for (Node* node = buckets_[static_cast<std::size_t>(bucket)]; node;) {
                    Node* next = node->next;
                    std::destroy_at(node);
                    node = next;
                }
                buckets_[static_cast<std::size_t>(bucket)] = nullptr;
            }
        }
        blocks_.clear();
        freeNodes_.clear();
        blockUsed_ = blockSize_ = 0;
        count_ = 0;
    }

    /// Clear, then copies other's chains in order. Other must have the same bucket count and
    /// hash function and must not release what its entries hold when this table does (each an
    /// assertion failure).
    void Assign(const TCustomHashTable& other) {
        QZ_ASSERT(&other != this);
        QZ_ASSERT(other.bucketBits_ == bucketBits_ && other.hash_ == hash_);
        QZ_ASSERT((options_ & ListOption::OwnsEntries) == 0 ||
                  (other.options_ & ListOption::OwnsEntries) == 0);
        Clear();
        if (other.count_ == 0) {
            return;
        }
        if (!buckets_) {
            buckets_ = std::make_unique<Node*[]>(static_cast<std::size_t>(BucketCount()));
        }
        AddBlock(other.count_);
        for (int bucket = 0; bucket < BucketCount(); ++bucket) {
            Node** tail = &buckets_[static_cast<std::size_t>(bucket)];
            for (const Node* node = other.buckets_[static_cast<std::size_t>(bucket)]; node;
                 node = node->next) {
                *tail = NewNode(Entry(node->entry));
                tail = &(*tail)->next;
                ++count_;
            }
        }
    }

private:
    static constexpr std::uint32_t kMagic = 0x427FDC1F;

    struct Node {
        explicit Node(Entry&& value) : entry(std::move(value)) {}
        Node* next = nullptr;
        Entry entry;
    };
    struct BlockDeleter {
        void operator()(Node* nodes) const { std::allocator<Node>().deallocate(nodes, size); }
        std::size_t size;
    };
    using Block = std::unique_ptr<Node, BlockDeleter>;

    void CheckAlive(bool destruction = false) const {
        if (lists_detail::ReadMagic(magic_) != kMagic) {
            lists_detail::RaiseOverwrite(ClassName(), destruction);
        }
    }

    std::uint32_t Mask() const { return (std::uint32_t(1) << bucketBits_) - 1; }

    void AddBlock(int size) {
        auto nodes = static_cast<std::size_t>(size);
        blocks_.emplace_back(std::allocator<Node>().allocate(nodes), BlockDeleter{nodes});
        blockUsed_ = 0;
        blockSize_ = nodes;
    }

    // Nodes taken out by ForEach are reused first; otherwise nodes come from the current block,
    // and a new block holds as many nodes as the table has entries, 4 to 128.
    Node* NewNode(Entry&& entry) {
        Node* storage;
        if (!freeNodes_.empty()) {
            storage = freeNodes_.back();
            freeNodes_.pop_back();
        } else {
            if (blockUsed_ == blockSize_) {
                AddBlock(std::clamp(count_, 4, 128));
            }
            storage = blocks_.back().get() + blockUsed_++;
        }
        return std::construct_at(storage, std::move(entry));
    }

    void FreeNode(Node* node) {
        std::destroy_at(node);
        freeNodes_.push_back(node);
    }

    std::uint32_t magic_ = kMagic;
    std::uint16_t options_;
    TDuplicates duplicates_;
    int bucketBits_;
    HashFunction hash_;
    int count_ = 0;
    int visiting_ = 0;
    std::unique_ptr<Node*[]> buckets_;
    std::vector<Block> blocks_;
    std::size_t blockUsed_ = 0;
    std::size_t blockSize_ = 0;
    std::vector<Node*> freeNodes_;
};

// ---- Building blocks of the typed classes ----

namespace lists_detail {

/// Entries that are their own key, ordered by value.
template <typename T>
struct ValueKey {
    using Entry = T;
    using Key = T;
    static Key KeyOf(const Entry& entry) { return entry; }
    static void SetKey(Entry& entry, const Key& key) { entry = key; }
    static int Compare(const Key& a, const Key& b, bool) { return CompareValues(a, b); }
    static bool Same(const Key& a, const Key& b, bool) { return a == b; }
};

/// Entries with a field `key`, ordered by it.
template <typename E, typename K>
struct FieldKey {
    using Entry = E;
    using Key = K;
    static const Key& KeyOf(const Entry& entry) { return entry.key; }
    static void SetKey(Entry& entry, const Key& key) { entry.key = key; }
    static int Compare(const Key& a, const Key& b, bool) {
        if constexpr (std::is_pointer_v<K>) {
            return CompareAddresses(a, b);
        } else {
            return CompareValues(a, b);
        }
    }
    static bool Same(const Key& a, const Key& b, bool) { return a == b; }
};

/// Entries with a text field `key`.
template <typename E>
struct TextKey {
    using Entry = E;
    using Key = std::string;
    static const Key& KeyOf(const Entry& entry) { return entry.key; }
    static void SetKey(Entry& entry, const Key& key) { entry.key = key; }
    static int Compare(const Key& a, const Key& b, bool caseInsensitive) {
        return CompareKeyText(a, b, caseInsensitive);
    }
    static bool Same(const Key& a, const Key& b, bool caseInsensitive) {
        return SameKeyText(a, b, caseInsensitive);
    }
    static std::uint32_t Hash(const Key& key) { return StringHash(key); }
};

/// Entries with a GUID field `key`: ordered as four signed 32-bit words, hashed by the first.
template <typename E, typename G>
struct GuidKey {
    static_assert(sizeof(G) == 16 && std::is_trivially_copyable_v<G>);
    using Entry = E;
    using Key = G;
    static const Key& KeyOf(const Entry& entry) { return entry.key; }
    static void SetKey(Entry& entry, const Key& key) { entry.key = key; }
    static std::int32_t Word(const Key& key, int n) {
        std::uint32_t word;
        std::memcpy(&word, reinterpret_cast<const unsigned char*>(&key) + 4 * n, 4);
        return static_cast<std::int32_t>(word);
    }
    static int Compare(const Key& a, const Key& b, bool) {
        for (int n = 0; n < 4; ++n) {
            if (int c = CompareValues(Word(a, n), Word(b, n))) {
                return c;
            }
        }
        return 0;
    }
    static bool Same(const Key& a, const Key& b, bool) { return std::memcmp(&a, &b, 16) == 0; }
    static std::uint32_t Hash(const Key& key) { return static_cast<std::uint32_t>(Word(key, 0)); }
};

/// Entries that hold nothing to release.
struct KeepsEntries {
    template <typename E>
    static void Release(E&, std::uint16_t) {}
};

/// Entries whose field `object` is freed under OwnsEntries.
struct FreesObject {
    template <typename E>
    static void Release(E& entry, std::uint16_t options) {
        if (options & ListOption::OwnsEntries) {
            delete entry.object;
            entry.object = nullptr;
        }
    }
};

/// Releases handles through the platform.
struct PlatformHandles {
    static void Close(platform::THandle handle) { (void)platform::CloseHandle(handle); }
};

/// Releases mapped views through the platform.
struct PlatformViews {
    static void Unmap(void* view, std::size_t size) { (void)platform::UnmapView(view, size); }
};

} // namespace lists_detail

// ---- Entry layouts ----

/// An object and a 32-bit key.
template <typename T>
struct TIntegerObjectEntry {
    std::int32_t key;
    T* object;
};

/// A 32-bit key and a mapped view of size bytes.
struct TIntegerViewEntry {
    std::int32_t key;
    void* view;
    std::size_t size;
};

/// A pointer and a 32-bit value.
struct TPointerIntegerEntry {
    const void* key;
    std::int32_t value;
};

/// A signed 64-bit key and a 32-bit value.
struct TInt64IntegerEntry {
    std::int64_t key;
    std::int32_t value;
};

/// A process identifier and four 64-bit values (times).
struct TProcessTimesEntry {
    std::uint32_t key;
    std::int64_t times[4];
};

/// A process identifier, a 32-bit value, a 64-bit value and a text.
struct TProcessIdEntry {
    std::uint32_t key;
    std::int32_t value;
    std::int64_t value64;
    std::string text;
};

/// A method reference (an invocable with its receiver) in a list ordered by the method's own
/// ordering (code, then data).
template <typename M>
struct TMethodEntry {
    M key;
};

/// A registered timer: method, interval in ms (0: a free slot), due tick.
template <typename M>
struct TNotifyTimerEntry {
    M key;
    std::uint32_t interval;
    std::uint32_t dueTick;
};

/// A queued notification keyed by its receiver (none once cancelled).
template <typename T, typename M>
struct TNotifyQueueEntry {
    T* object;
    M method;
    const void* classAtPosting;
    std::uint64_t tickAtPosting;
};

/// A GUID and a pointer.
template <typename V, typename G>
struct TGuidPointerEntry {
    G key;
    V* pointer;
};

/// A key text and a value text.
struct TStringMapEntry {
    std::string key;
    std::string value;
};

/// A key text and two 32-bit values.
struct TStringIntegerIntegerEntry {
    std::string key;
    std::int32_t value1;
    std::int32_t value2;
};

/// A key text, a 64-bit value and an object.
template <typename T>
struct TStringInt64ObjectEntry {
    std::string key;
    std::int64_t value;
    T* object;
};

// ---- Traits of the typed classes ----

namespace lists_detail {

template <typename T>
struct ObjListTraits : ValueKey<T*> {
    static constexpr const char* kClassName = "TObjList";
    static constexpr std::uint16_t kOptions = ListOption::OwnsEntries;
    static int Compare(T* a, T* b, bool) { return CompareAddresses(a, b); }
    static void Release(T*& entry, std::uint16_t options) {
        if (options & ListOption::OwnsEntries) {
            delete entry;
            entry = nullptr;
        }
    }
};

struct IntegerListTraits : ValueKey<std::int32_t>, KeepsEntries {
    static constexpr const char* kClassName = "TIntegerList";
    static constexpr std::uint16_t kOptions = 0;
};

struct CardinalListTraits : ValueKey<std::uint32_t>, KeepsEntries {
    static constexpr const char* kClassName = "TCardinalList";
    static constexpr std::uint16_t kOptions = 0;
};

struct Int64ListTraits : ValueKey<std::int64_t>, KeepsEntries {
    static constexpr const char* kClassName = "TInt64List";
    static constexpr std::uint16_t kOptions = 0;
};

template <typename Handles>
struct HandleListTraits : ValueKey<platform::THandle> {
    static constexpr const char* kClassName = "THandleList";
    static constexpr std::uint16_t kOptions = ListOption::ClosesHandles;
    // Handles order as unsigned values.
    static int Compare(platform::THandle a, platform::THandle b, bool) {
        return CompareValues(static_cast<std::uintptr_t>(a), static_cast<std::uintptr_t>(b));
    }
    static void Release(platform::THandle& handle, std::uint16_t options) {
        if ((options & ListOption::ClosesHandles) && handle != platform::kInvalidHandle) {
            Handles::Close(handle);
            handle = platform::kInvalidHandle;
        }
    }
};

template <typename T>
struct IntegerListExTraits : FieldKey<TIntegerObjectEntry<T>, std::int32_t>, FreesObject {
    static constexpr const char* kClassName = "TIntegerListEx";
    static constexpr std::uint16_t kOptions = ListOption::OwnsEntries;
};

template <typename Views>
struct IntegerViewListTraits : FieldKey<TIntegerViewEntry, std::int32_t> {
    static constexpr const char* kClassName = "TIntegerViewList";
    static constexpr std::uint16_t kOptions = ListOption::UnmapsViews;
    static void Release(TIntegerViewEntry& entry, std::uint16_t options) {
        if ((options & ListOption::UnmapsViews) && entry.view) {
            Views::Unmap(entry.view, entry.size);
            entry.view = nullptr;
        }
    }
};

struct PointerIntegerListTraits : FieldKey<TPointerIntegerEntry, const void*>, KeepsEntries {
    static constexpr const char* kClassName = "TPointerIntegerList";
    static constexpr std::uint16_t kOptions = 0;
};

struct Int64IntegerMapTraits : FieldKey<TInt64IntegerEntry, std::int64_t>, KeepsEntries {
    static constexpr const char* kClassName = "TInt64IntegerMap";
    static constexpr std::uint16_t kOptions = ListOption::Sorted | ListOption::RejectDuplicates;
};

struct ProcessTimesMapTraits : FieldKey<TProcessTimesEntry, std::uint32_t>, KeepsEntries {
    static constexpr const char* kClassName = "TProcessTimesMap";
    static constexpr std::uint16_t kOptions = ListOption::IgnoreDuplicates;
};

struct ProcessIdMapTraits : FieldKey<TProcessIdEntry, std::uint32_t>, KeepsEntries {
    static constexpr const char* kClassName = "TProcessIdMap";
    static constexpr std::uint16_t kOptions = 0;
};

template <typename M>
struct MethodKey {
    static int Compare(const M& a, const M& b, bool) {
        auto order = a <=> b;
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    static bool Same(const M& a, const M& b, bool) { return a == b; }
};

template <typename M>
struct ProcedureOfObjectListTraits : FieldKey<TMethodEntry<M>, M>, MethodKey<M>, KeepsEntries {
    using MethodKey<M>::Compare;
    using MethodKey<M>::Same;
    static constexpr const char* kClassName = "TProcedureOfObjectList";
    static constexpr std::uint16_t kOptions = ListOption::Sorted | ListOption::IgnoreDuplicates;
};

template <typename M>
struct NotifyTimerListTraits : FieldKey<TNotifyTimerEntry<M>, M>, MethodKey<M>, KeepsEntries {
    using MethodKey<M>::Compare;
    using MethodKey<M>::Same;
    static constexpr const char* kClassName = "TNotifyTimerList";
    static constexpr std::uint16_t kOptions = 0;
};

template <typename T, typename M>
struct NotifyQueueListTraits {
    using Entry = TNotifyQueueEntry<T, M>;
    using Key = T*;
    static constexpr const char* kClassName = "TNotifyQueueList";
    static constexpr std::uint16_t kOptions = 0;
    static Key KeyOf(const Entry& entry) { return entry.object; }
    static void SetKey(Entry& entry, Key key) { entry.object = key; }
    static int Compare(Key a, Key b, bool) { return CompareAddresses(a, b); }
    static bool Same(Key a, Key b, bool) { return a == b; }
    static void Release(Entry& entry, std::uint16_t options) {
        if (options & ListOption::OwnsEntries) {
            delete entry.object;
            entry.object = nullptr;
        }
    }
};

template <typename T>
struct IntegerListExHashTableTraits : FieldKey<TIntegerObjectEntry<T>, std::int32_t>, FreesObject {
    static constexpr const char* kClassName = "TIntegerListEx_HashTable";
    static constexpr TDuplicates kDuplicates = TDuplicates::Reject;
    static constexpr std::uint16_t kOptions = ListOption::OwnsEntries;
    static constexpr int kBucketBits = 5;
    static std::uint32_t Hash(const std::int32_t& key) { return static_cast<std::uint32_t>(key); }
};

template <typename V, typename G>
struct GuidListExHashTableTraits : GuidKey<TGuidPointerEntry<V, G>, G>, KeepsEntries {
    static constexpr const char* kClassName = "TGuidListEx_HashTable";
    static constexpr TDuplicates kDuplicates = TDuplicates::Reject;
    static constexpr std::uint16_t kOptions = 0;
    static constexpr int kBucketBits = 5;
};

struct StringMapHashTableTraits : TextKey<TStringMapEntry>, KeepsEntries {
    static constexpr const char* kClassName = "TStringMap_HashTable";
    static constexpr TDuplicates kDuplicates = TDuplicates::Ignore;
    static constexpr std::uint16_t kOptions = ListOption::CaseInsensitiveKeys;
    static constexpr int kBucketBits = 5;
    static std::uint32_t Hash(const std::string& key) { return ShortStringHash(key); }
};

struct StringIntegerIntegerMapHashTableTraits : TextKey<TStringIntegerIntegerEntry>, KeepsEntries {
    static constexpr const char* kClassName = "TStringIntegerIntegerMap_HashTable";
    static constexpr TDuplicates kDuplicates = TDuplicates::Ignore;
    static constexpr std::uint16_t kOptions = 0;
    static constexpr int kBucketBits = 10;
};

template <typename T>
struct StringInt64ObjectMapHashTableTraits : TextKey<TStringInt64ObjectEntry<T>>, FreesObject {
    static constexpr const char* kClassName = "TStringInt64ObjectMap_HashTable";
    static constexpr TDuplicates kDuplicates = TDuplicates::Ignore;
    static constexpr std::uint16_t kOptions = ListOption::OwnsEntries;
    static constexpr int kBucketBits = 8;
};

} // namespace lists_detail

// ---- The typed classes ----
// Default constructors give the options each class is created with in the system.

/// Objects; frees them under OwnsEntries.
template <typename T>
using TObjList = TCustomList<lists_detail::ObjListTraits<T>>;
/// Signed 32-bit integers (the integer-list fields of packets; streamable).
using TIntegerList = TCustomList<lists_detail::IntegerListTraits>;
/// Unsigned 32-bit integers: process and thread identifiers (streamable).
using TCardinalList = TCustomList<lists_detail::CardinalListTraits>;
/// Signed 64-bit integers (streamable).
using TInt64List = TCustomList<lists_detail::Int64ListTraits>;
/// Kernel handles; closes them under ClosesHandles. Handles is the release seam for tests.
template <typename Handles = lists_detail::PlatformHandles>
using TBasicHandleList = TCustomList<lists_detail::HandleListTraits<Handles>>;
using THandleList = TBasicHandleList<>;
/// 32-bit keys with objects; frees the objects under OwnsEntries.
template <typename T>
using TIntegerListEx = TCustomList<lists_detail::IntegerListExTraits<T>>;
/// 32-bit keys with mapped views; unmaps them under UnmapsViews.
template <typename Views = lists_detail::PlatformViews>
using TBasicIntegerViewList = TCustomList<lists_detail::IntegerViewListTraits<Views>>;
using TIntegerViewList = TBasicIntegerViewList<>;
/// Pointers with 32-bit values, ordered by address.
using TPointerIntegerList = TCustomList<lists_detail::PointerIntegerListTraits>;
/// Signed 64-bit keys with 32-bit values; sorted, rejecting duplicates by default.
using TInt64IntegerMap = TCustomList<lists_detail::Int64IntegerMapTraits>;
/// Process identifiers with four 64-bit times.
using TProcessTimesMap = TCustomList<lists_detail::ProcessTimesMapTraits>;
/// Process identifiers with a 32-bit value, a 64-bit value and a text.
using TProcessIdMap = TCustomList<lists_detail::ProcessIdMapTraits>;
/// Method references (M: ordered with <=> as code, then data); sorted, ignoring duplicates.
template <typename M>
using TProcedureOfObjectList = TCustomList<lists_detail::ProcedureOfObjectListTraits<M>>;
/// Timer slots keyed by their method.
template <typename M>
using TNotifyTimerList = TCustomList<lists_detail::NotifyTimerListTraits<M>>;
/// Queued notifications keyed by their receiver.
template <typename T, typename M>
using TNotifyQueueList = TCustomList<lists_detail::NotifyQueueListTraits<T, M>>;

/// 32-bit keys with objects, identity hash; rejects duplicates, owns the objects, 32 buckets.
template <typename T>
using TIntegerListEx_HashTable = TCustomHashTable<lists_detail::IntegerListExHashTableTraits<T>>;
/// GUIDs with pointers, hashed by the GUID's first word; rejects duplicates, 32 buckets.
template <typename V = void, typename G = TGuid>
using TGuidListEx_HashTable = TCustomHashTable<lists_detail::GuidListExHashTableTraits<V, G>>;
/// Texts with texts, short string hash; ignores duplicates, case-insensitive keys, 32 buckets.
using TStringMap_HashTable = TCustomHashTable<lists_detail::StringMapHashTableTraits>;
/// Texts with two 32-bit values, StringHash.
using TStringIntegerIntegerMap_HashTable =
    TCustomHashTable<lists_detail::StringIntegerIntegerMapHashTableTraits>;
/// Texts with a 64-bit value and an object, StringHash, 256 buckets, owns the objects.
template <typename T>
using TStringInt64ObjectMap_HashTable =
    TCustomHashTable<lists_detail::StringInt64ObjectMapHashTableTraits<T>>;

} // namespace qz
