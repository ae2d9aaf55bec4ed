#include "Lists.h"

#include "CmTestSupport.h"
#include "StreamUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace qz {
namespace {

using test::MessageOf;

// Plain 16-byte keys: the GUID tables take any 16-byte key type.
struct TGuidKey {
    std::uint8_t bytes[16];
};

using ::testing::ElementsAre;

// A memory stream whose bytes the tests read back as text.
class BufferStream : public TVirtualStream {
public:
    explicit BufferStream(std::string_view bytes = {}) { SetContent(bytes); }
    std::string bytes() const { return AsString(); }
};

template <typename List>
std::vector<typename List::Entry> Entries(const List& list) {
    return {list.begin(), list.end()};
}

template <typename Table>
std::vector<typename Table::Key> KeysInVisitOrder(Table& table) {
    std::vector<typename Table::Key> keys;
    table.ForEach([&](const typename Table::Entry& entry) {
        keys.push_back(entry.key);
        return true;
    });
    return keys;
}

// Records what the handle and view lists release instead of asking the system.
struct FakeRelease {
    static std::vector<platform::THandle>& closed() {
        static std::vector<platform::THandle> handles;
        return handles;
    }
    static std::vector<void*>& unmapped() {
        static std::vector<void*> views;
        return views;
    }
    static void Close(platform::THandle handle) { closed().push_back(handle); }
    static void Unmap(void* view, std::size_t size) {
        EXPECT_EQ(size, 4096u);
        unmapped().push_back(view);
    }
};

struct Tracked {
    explicit Tracked(int& destroyed) : destroyed_(destroyed) {}
    ~Tracked() { ++destroyed_; }
    int& destroyed_;
};

struct Method {
    std::uintptr_t code;
    std::uintptr_t data;
    auto operator<=>(const Method&) const = default;
};

TEST(ListErrors, MessagesNameTheClassAndTheIndex) {
    TCardinalList cardinals;
    cardinals.Add(1);
    EXPECT_EQ(MessageOf([&] { (void)cardinals[7]; }),
              "TCardinalList: List index out of bounds (7)");
    EXPECT_EQ(MessageOf([&] { cardinals.Delete(-1); }),
              "TCardinalList: List index out of bounds (-1)");
    EXPECT_EQ(MessageOf([&] { cardinals.Insert(2, 5); }),
              "TCardinalList: List index out of bounds (2)");
    EXPECT_EQ(MessageOf([&] { cardinals.SetCapacity(0); }),
              "TCardinalList: List capacity out of bounds (0)");
    EXPECT_EQ(MessageOf([&] { cardinals.MoveItem(0, 1); }),
              "TCardinalList: List index out of bounds (1)");
    TInt64List empty;
    EXPECT_EQ(MessageOf([&] { empty.DeleteLast(); }), "TInt64List: List index out of bounds (-1)");
    EXPECT_THAT(Entries(cardinals), ElementsAre(1u));
}

TEST(ListErrors, RefusedOperationsLeaveTheListUnchanged) {
    TInt64IntegerMap map; // sorted, rejects duplicates
    map.Add({10, 1});
    map.Add({5, 2});
    EXPECT_EQ(MessageOf([&] {
                  map.Add({10, 3});
              }),
              "TInt64IntegerMap: List does not allow duplicates.");
    EXPECT_EQ(MessageOf([&] { map.SetKeyAt(0, 7); }),
              "TInt64IntegerMap: Cannot set value of an index field in a sorted/hashed list");
    EXPECT_EQ(MessageOf([&] { map.SetField(0, &TInt64IntegerEntry::key, std::int64_t(99)); }),
              "TInt64IntegerMap: Cannot set value of an index field in a sorted/hashed list");
    map.SetField(0, &TInt64IntegerEntry::value, 42);
    ASSERT_EQ(map.Count(), 2);
    EXPECT_EQ(map[0].key, 5);
    EXPECT_EQ(map[0].value, 42);
    EXPECT_EQ(map[1].value, 1);

    TIntegerList sorted(ListOption::Sorted);
    TIntegerList other;
    other.Add(1);
    sorted.Add(3);
    EXPECT_EQ(MessageOf([&] { sorted.AppendAll(other); }),
              "TIntegerList: Cannot add multiple items to a sorted list.");
    EXPECT_EQ(other.Count(), 1);
    EXPECT_EQ(sorted.Count(), 1);

    TIntegerList unsorted;
    unsorted.Add(3);
    unsorted.SetKeyAt(0, 4);
    EXPECT_EQ(unsorted[0], 4);
}

TEST(ListErrors, ContractViolationsAreAssertions) {
    EXPECT_THROW(TIntegerList(ListOption::RejectDuplicates | ListOption::AcceptDuplicates),
                 EAssertionFailed);
    TIntegerList sorted(ListOption::Sorted);
    EXPECT_THROW(sorted.Insert(0, 1), EAssertionFailed);
    TIntegerList list;
    list.Add(1);
    EXPECT_THROW(list.InsertList(list, 0), EAssertionFailed);
    TIntegerList unsorted;
    unsorted.Add(2);
    EXPECT_THROW(sorted.InsertList(unsorted, 0), EAssertionFailed);
    EXPECT_EQ(sorted.Count(), 0);
}

TEST(ListErrors, UseAfterDestructionIsCaught) {
    alignas(TIntegerList) unsigned char listSpace[sizeof(TIntegerList)];
    auto* list = new (listSpace) TIntegerList();
    list->Add(1);
    list->~TIntegerList();
    EXPECT_THAT(MessageOf([&] { list->Clear(); }),
                ::testing::HasSubstr("TIntegerList <- memory overwrite detected"));
    EXPECT_THROW(list->Add(2), EAssertionFailed);

    using Table = TIntegerListEx_HashTable<Tracked>;
    alignas(Table) unsigned char tableSpace[sizeof(Table)];
    auto* table = new (tableSpace) Table();
    table->~Table();
    EXPECT_THAT(MessageOf([&] {
                    table->Add({1, nullptr});
                }),
                ::testing::HasSubstr("TIntegerListEx_HashTable <- memory overwrite detected"));
}

TEST(SortedDuplicates, IgnoreReturnsTheExistingIndex) {
    TProcedureOfObjectList<Method> listeners; // sorted, ignore
    EXPECT_EQ(listeners.Add({{20, 1}}), 0);
    EXPECT_EQ(listeners.Add({{10, 9}}), 0);
    EXPECT_EQ(listeners.Add({{20, 1}}), 1);
    EXPECT_EQ(listeners.Add({{20, 0}}), 1);
    EXPECT_EQ(listeners.Count(), 3);
    EXPECT_EQ(listeners.IndexOf({20, 1}), 2);
    EXPECT_EQ(listeners.IndexOf({20, 2}), -1);
}

TEST(SortedDuplicates, AcceptInsertsBeforeTheEqualEntries) {
    TInt64IntegerMap map(ListOption::Sorted | ListOption::AcceptDuplicates);
    map.Add({5, 1});
    map.Add({9, 2});
    EXPECT_EQ(map.Add({5, 3}), 0);
    EXPECT_EQ(map.Add({5, 4}), 0);
    EXPECT_EQ(map.Add({7, 5}), 3);
    std::vector<std::int32_t> values;
    for (const auto& entry : map) {
        values.push_back(entry.value);
    }
    EXPECT_THAT(values, ElementsAre(4, 3, 1, 5, 2));
    int index = -1;
    EXPECT_TRUE(map.Find(5, index));
    EXPECT_EQ(index, 0);
}

TEST(SortedDuplicates, FindGivesTheInsertPositionAndIndexOfAProbedMatch) {
    TIntegerList list(ListOption::Sorted | ListOption::AcceptDuplicates);
    int index = -1;
    EXPECT_FALSE(list.Find(4, index));
    EXPECT_EQ(index, 0);
    for (int value : {-3, 1, 1, 1, 1, 8}) {
        list.Add(value);
    }
    EXPECT_FALSE(list.Find(-5, index));
    EXPECT_EQ(index, 0);
    EXPECT_FALSE(list.Find(2, index));
    EXPECT_EQ(index, 5);
    EXPECT_FALSE(list.Find(9, index));
    EXPECT_EQ(index, 6);
    EXPECT_TRUE(list.Find(1, index));
    EXPECT_EQ(index, 1);
    // IndexOf stops at the first probe that matches: the middle of six entries is index 2.
    EXPECT_EQ(list.IndexOf(1), 2);
    EXPECT_EQ(list.IndexOf(2), -1);
    EXPECT_EQ(*list.Lookup(8), 8);
    EXPECT_EQ(list.Lookup(7), nullptr);
}

TEST(SortedDuplicates, RemoveAllDeletesEveryEqualEntry) {
    TIntegerList unsorted;
    for (int value : {5, 3, 5}) {
        unsorted.Add(value);
    }
    EXPECT_EQ(unsorted.RemoveAll(5), 2);
    EXPECT_THAT(Entries(unsorted), ElementsAre(3));

    TIntegerList sorted(ListOption::Sorted | ListOption::AcceptDuplicates);
    for (int value : {5, 3, 5, 5}) {
        sorted.Add(value);
    }
    EXPECT_EQ(sorted.RemoveAll(4), 0);
    EXPECT_EQ(sorted.RemoveAll(5), 3);
    EXPECT_THAT(Entries(sorted), ElementsAre(3));
    EXPECT_EQ(sorted.RemoveAll(3), 1);
    EXPECT_EQ(sorted.Capacity(), 0);
}

TEST(ListOrder, SortFollowsTheKeyTypeAndSetSortedSwitchesSearch) {
    TIntegerList integers;
    TCardinalList cardinals;
    for (int value : {3, -1, 7, 0, 3}) {
        integers.Add(value);
        cardinals.Add(static_cast<std::uint32_t>(value));
    }
    integers.SetSorted(true);
    cardinals.SetSorted(true);
    EXPECT_THAT(Entries(integers), ElementsAre(-1, 0, 3, 3, 7));
    EXPECT_THAT(Entries(cardinals), ElementsAre(0u, 3u, 3u, 7u, 0xFFFFFFFFu));
    EXPECT_TRUE(integers.IsSorted());
    EXPECT_EQ(integers.Add(5), 4);

    integers.SetSorted(false);
    EXPECT_EQ(integers.Add(-9), 6);
    EXPECT_EQ(integers.IndexOf(-9), 6); // a linear scan finds the unsorted tail
    integers.MoveItem(6, 0);
    EXPECT_THAT(Entries(integers), ElementsAre(-9, -1, 0, 3, 3, 5, 7));
    integers.MoveItem(1, 5);
    EXPECT_THAT(Entries(integers), ElementsAre(-9, 0, 3, 3, 5, -1, 7));
}

TEST(ListOrder, CaseInsensitiveTextKeysFoldOnlyLetters) {
    EXPECT_LT(CompareKeyText("a", "B", true), 0);
    EXPECT_LT(CompareKeyText("B", "_", true), 0);
    EXPECT_GT(CompareKeyText("a", "_", false), 0);
    EXPECT_LT(CompareKeyText("B", "_", false), 0);
    EXPECT_LT(CompareKeyText("ab", "abc", true), 0);
    EXPECT_TRUE(SameKeyText("ABC", "abc", true));
    EXPECT_FALSE(SameKeyText("ABC", "abc", false));
    EXPECT_FALSE(SameKeyText("@", "`", true));
}

TEST(ListGrowth, CapacityStepsAndRelease) {
    TIntegerList list;
    std::vector<int> capacities;
    for (int i = 0; i < 304; ++i) {
        if (list.Count() == list.Capacity()) {
            list.Add(i);
            capacities.push_back(list.Capacity());
        } else {
            list.Add(i);
        }
    }
    EXPECT_THAT(capacities, ElementsAre(4, 8, 12, 28, 44, 60, 76, 152, 304));

    list.SetCapacity(400);
    EXPECT_EQ(list.Capacity(), 400);
    EXPECT_EQ(list.Extract(0), 0);
    EXPECT_EQ(list.Capacity(), 400);
    list.Clear();
    EXPECT_EQ(list.Capacity(), 0);

    list.Add(1);
    list.Delete(0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
}

TEST(ListCopies, InsertListAssignAndSameAs) {
    TIntegerList target;
    TIntegerList source;
    for (int value : {1, 2, 3}) {
        target.Add(value);
    }
    source.Add(8);
    source.Add(9);
    target.InsertList(source, 1);
    EXPECT_THAT(Entries(target), ElementsAre(1, 8, 9, 2, 3));
    EXPECT_EQ(target.Capacity(), 5);
    EXPECT_THAT(Entries(source), ElementsAre(8, 9));
    EXPECT_FALSE(target.SameAs(source));
    target.Assign(source);
    EXPECT_TRUE(target.SameAs(source));
    EXPECT_TRUE(source.SameAs(target));

    TIntegerList sortedTarget(ListOption::Sorted);
    TIntegerList sortedSource(ListOption::Sorted);
    sortedSource.Add(4);
    sortedSource.Add(2);
    sortedTarget.Assign(sortedSource);
    EXPECT_THAT(Entries(sortedTarget), ElementsAre(2, 4));
}

TEST(ListRelease, HandlesAreClosedExceptWhenExtractedOrMoved) {
    using Handles = TBasicHandleList<FakeRelease>;
    FakeRelease::closed().clear();
    {
        Handles handles; // closes its handles
        for (platform::THandle handle : {10, 11, 12, 13, 14}) {
            handles.Add(handle);
        }
        handles.Delete(1);
        EXPECT_EQ(handles.Extract(0), 10);
        EXPECT_THAT(FakeRelease::closed(), ElementsAre(11));

        Handles unowned(0);
        unowned.Add(20);
        handles.AppendAll(unowned);
        EXPECT_EQ(unowned.Count(), 0);
        EXPECT_EQ(unowned.Capacity(), 0);
        EXPECT_THAT(Entries(handles), ElementsAre(12, 13, 14, 20));
        EXPECT_EQ(handles.RemoveAll(13), 1);
        EXPECT_THAT(FakeRelease::closed(), ElementsAre(11, 13));

        Handles copy;
        EXPECT_THROW(copy.Assign(handles), EAssertionFailed); // both would close them
    }
    EXPECT_THAT(FakeRelease::closed(), ElementsAre(11, 13, 12, 14, 20));
}

TEST(ListRelease, OwnedObjectsAndViewsAreReleased) {
    int destroyed = 0;
    {
        TIntegerListEx<Tracked> blocks;
        blocks.Add({1, new Tracked(destroyed)});
        blocks.Add({2, new Tracked(destroyed)});
        blocks.Insert(0, {3, new Tracked(destroyed)});
        blocks.Delete(2);
        EXPECT_EQ(destroyed, 1);
        TIntegerListEx<Tracked> borrowed(0);
        Tracked kept(destroyed);
        borrowed.Add({1, &kept});
    }
    EXPECT_EQ(destroyed, 4); // three owned, and the borrowed one by its own scope

    FakeRelease::unmapped().clear();
    int a = 0;
    int b = 0;
    {
        TBasicIntegerViewList<FakeRelease> views;
        views.Add({4, &a, 4096});
        views.Add({5, &b, 4096});
        views.MoveItem(1, 0);
        EXPECT_EQ(views[0].key, 5);
    }
    EXPECT_THAT(FakeRelease::unmapped(), ElementsAre(&b, &a));
}

TEST(ListStreaming, CompactCountAndRawEntries) {
    TCardinalList list;
    list.Add(1);
    list.Add(2);
    BufferStream stream;
    list.SaveToStream(stream);
    EXPECT_EQ(stream.bytes(), std::string("\x04\x01\x00\x00\x00\x02\x00\x00\x00", 9));
    stream.SetPosition(0);
    TCardinalList loaded;
    loaded.Add(7);
    loaded.LoadFromStream(stream);
    EXPECT_THAT(Entries(loaded), ElementsAre(1u, 2u));
    EXPECT_EQ(loaded.Capacity(), 2);
}

TEST(ListStreaming, RoundTripsAcrossTheCompactCountBoundary) {
    for (int count : {0, 127, 128, 70000}) {
        TInt64List list;
        for (int i = 0; i < count; ++i) {
            list.Add(std::int64_t(i) << 33 | i);
        }
        BufferStream stream;
        list.SaveToStream(stream);
        std::size_t header = count < 128 ? 1 : 4;
        ASSERT_EQ(stream.bytes().size(), header + 8u * count) << count;
        if (count == 127) {
            EXPECT_EQ(stream.bytes()[0], '\xFE');
        }
        if (count == 128) {
            EXPECT_EQ(stream.bytes().substr(0, 4), std::string("\x01\x01\x00\x00", 4));
        }
        stream.SetPosition(0);
        TInt64List loaded;
        loaded.LoadFromStream(stream);
        EXPECT_TRUE(loaded.SameAs(list)) << count;
        EXPECT_EQ(loaded.Capacity(), count);
    }
}

TEST(ListStreaming, DamagedStreamsFailAndLoseNothing) {
    TIntegerList list;
    list.Add(42);
    BufferStream truncated(std::string("\x04\x01\x00\x00\x00\x02\x00", 7));
    EXPECT_EQ(MessageOf([&] { list.LoadFromStream(truncated); }), "Stream read error");
    // A count of about a billion entries followed by nothing.
    BufferStream huge(std::string("\xFF\xFF\xFF\x7F", 4));
    EXPECT_EQ(MessageOf([&] { list.LoadFromStream(huge); }), "Stream read error");
    EXPECT_THAT(Entries(list), ElementsAre(42));
}

TEST(StringHash, ValuesFollowTheWordFolding) {
    // "abc": a = 1 ^ 0x00636261 = 0x00636260, folded 0x00434240;
    // 0x00434240 + 0x10D0 + 0x4 = 0x435314, low ten bits 0x314.
    EXPECT_EQ(StringHash("abc"), 0x314u);
    EXPECT_EQ(StringHash(""), 0u);
    // One character: a = -1, no word; 0xDFDFDFDF + 0x37F7F7 + 0xDFD = 0xE017E3D3.
    EXPECT_EQ(StringHash("A"), 0x1D3u);
    EXPECT_EQ(StringHash("ab"), 0u);
    EXPECT_EQ(StringHash("Name"), 0xF0u);
    EXPECT_EQ(StringHash("NAME"), StringHash("name"));
    // The last two characters take no part when length - 2 is a multiple of 4.
    EXPECT_EQ(StringHash("abcdef"), 0x359u);
    EXPECT_EQ(StringHash("abcdXY"), 0x359u);
    EXPECT_EQ(StringHash("Hello, world"), 0x138u);
    EXPECT_EQ(ShortStringHash("Name"), 23u);
    EXPECT_EQ(ShortStringHash("abc"), 12u);
}

TEST(HashTable, VisitsBucketsFromLastToFirstNewestFirst) {
    TIntegerListEx_HashTable<Tracked> table(TDuplicates::Reject, 0, 5);
    for (int key : {1, 33, 2, 65, 31}) {
        table.Add({key, nullptr});
    }
    EXPECT_THAT(KeysInVisitOrder(table), ElementsAre(31, 2, 65, 33, 1));
    int visited = 0;
    EXPECT_EQ(table.ForEach([&](auto&) { return ++visited < 3; }), 3);
    EXPECT_EQ(TIntegerListEx_HashTable<Tracked>().ForEach([](auto&) { return true; }), 0);
}

TEST(HashTable, ForEachMayRemoveTheVisitedEntry) {
    int destroyed = 0;
    TIntegerListEx_HashTable<Tracked> table; // rejects, owns its objects, 32 buckets
    for (int key = 0; key < 100; ++key) {
        table.Add({key, new Tracked(destroyed)});
    }
    EXPECT_EQ(table.BucketCount(), 32);
    int calls = table.ForEach([](TIntegerObjectEntry<Tracked>& entry, bool& remove) {
        remove = entry.key % 2 == 1;
        return true;
    });
    EXPECT_EQ(calls, 100);
    EXPECT_EQ(table.Count(), 50);
    EXPECT_EQ(destroyed, 50);
    EXPECT_FALSE(table.Contains(33));
    EXPECT_TRUE(table.Contains(32));
    // Removing and stopping at the same visit.
    EXPECT_EQ(table.ForEach([](auto&, bool& remove) {
        remove = true;
        return false;
    }),
              1);
    EXPECT_EQ(table.Count(), 49);
    // Freed nodes are reused.
    for (int key = 1001; key < 1040; ++key) {
        table.Add({key, new Tracked(destroyed)});
    }
    EXPECT_EQ(table.Count(), 88);
    for (int key = 1001; key < 1040; ++key) {
        EXPECT_TRUE(table.Contains(key)) << key;
    }
    EXPECT_EQ(MessageOf([&] {
                  table.Add({1001, nullptr});
              }),
              "TIntegerListEx_HashTable: Hashtable does not allow duplicates.");
    EXPECT_THROW(table.ForEach([&](auto&) {
        table.Add({5000, nullptr});
        return true;
    }),
                 EAssertionFailed);
    table.Clear();
    EXPECT_EQ(destroyed, 139);
    EXPECT_EQ(table.Count(), 0);
    EXPECT_FALSE(table.Contains(1001));
}

TEST(HashTable, CaseInsensitiveKeysShareABucketButNotEquality) {
    TStringMap_HashTable named; // ignores duplicates, case-insensitive
    EXPECT_TRUE(named.Add({"Name", "first"}));
    EXPECT_FALSE(named.Add({"NAME", "second"}));
    ASSERT_NE(named.Find("NAME"), nullptr);
    EXPECT_EQ(named.Find("NAME")->value, "first");
    EXPECT_EQ(named.ValueOf("name", &TStringMapEntry::value, std::string("none")), "first");
    EXPECT_EQ(named.ValueOf("other", &TStringMapEntry::value, std::string("none")), "none");

    TStringMap_HashTable exact(TDuplicates::Ignore, 0, 5);
    exact.Add({"Name", "first"});
    EXPECT_EQ(ShortStringHash("Name"), ShortStringHash("NAME"));
    EXPECT_FALSE(exact.Contains("NAME"));
    EXPECT_TRUE(exact.Add({"NAME", "second"}));
    EXPECT_EQ(exact.Count(), 2);
}

TEST(HashTable, GuidKeysAndAssignKeepTheChainOrder) {
    TGuidListEx_HashTable<const char, TGuidKey> classes;
    std::vector<TGuidKey> guids;
    for (std::uint8_t n = 0; n < 40; ++n) {
        TGuidKey guid{};
        guid.bytes[0] = n;
        guid.bytes[15] = static_cast<std::uint8_t>(n * 7);
        guids.push_back(guid);
        classes.Add({guid, "class"});
    }
    TGuidKey sameFirstWord = guids[3];
    sameFirstWord.bytes[15] = 0xEE;
    EXPECT_FALSE(classes.Contains(sameFirstWord));
    EXPECT_EQ(MessageOf([&] {
                  classes.Add({guids[3], nullptr});
              }),
              "TGuidListEx_HashTable: Hashtable does not allow duplicates.");
    EXPECT_EQ(classes.Count(), 40);

    TGuidListEx_HashTable<const char, TGuidKey> copy;
    copy.Add({sameFirstWord, nullptr});
    copy.Assign(classes);
    EXPECT_EQ(copy.Count(), 40);
    std::vector<std::string> original;
    std::vector<std::string> copied;
    auto text = [](const TGuidKey& key) { return std::string(key.bytes, key.bytes + 16); };
    for (const auto& key : KeysInVisitOrder(classes)) {
        original.push_back(text(key));
    }
    for (const auto& key : KeysInVisitOrder(copy)) {
        copied.push_back(text(key));
    }
    EXPECT_EQ(copied, original);
    EXPECT_FALSE(copy.Contains(sameFirstWord));

    TGuidListEx_HashTable<const char, TGuidKey> wider(TDuplicates::Reject, 0, 6);
    EXPECT_THROW(wider.Assign(classes), EAssertionFailed);
}

TEST(HashTable, SystemGuidsAreTheDefaultKey) {
    TGuidListEx_HashTable<> table;
    TGuid guid = NewGuid();
    table.Add({guid, nullptr});
    EXPECT_TRUE(table.Contains(guid));
    EXPECT_FALSE(table.Contains(NewGuid()));
}

TEST(HashTable, GuidKeysOrderAsSignedWords) {
    using Traits = lists_detail::GuidKey<TGuidPointerEntry<void, TGuidKey>, TGuidKey>;
    TGuidKey low{};
    TGuidKey high{};
    high.bytes[3] = 0x80; // the first word becomes negative
    low.bytes[4] = 1;
    EXPECT_GT(Traits::Compare(low, high, false), 0);
    EXPECT_EQ(Traits::Hash(high), 0x80000000u);
}

TEST(TypedClasses, KeysOfRecordEntries) {
    TPointerIntegerList versions(ListOption::Sorted);
    int objects[3];
    versions.Add({&objects[2], 3});
    versions.Add({&objects[0], 1});
    EXPECT_EQ(versions[0].key, &objects[0]);
    EXPECT_EQ(versions.Lookup(&objects[2])->value, 3);

    TProcessIdMap tree;
    tree.Add({42, 1, 2, "make"});
    tree.Add({7, 0, 0, "cc"});
    EXPECT_EQ(tree.Lookup(7)->text, "cc");
    tree.SetField(0, &TProcessIdEntry::text, std::string("gmake"));
    EXPECT_EQ(tree[0].text, "gmake");

    TNotifyTimerList<Method> timers;
    timers.Add({{1, 2}, 100, 0});
    timers.SetField(0, &TNotifyTimerEntry<Method>::interval, 0u);
    EXPECT_EQ(timers.IndexOf({1, 2}), 0);

    int destroyed = 0;
    TNotifyQueueList<Tracked, Method> queue;
    Tracked receiver(destroyed);
    queue.Add({&receiver, {1, 2}, nullptr, 5});
    queue.Add({nullptr, {3, 4}, nullptr, 6});
    queue.SetKeyAt(queue.IndexOf(&receiver), nullptr); // cancelled
    EXPECT_EQ(queue.RemoveAll(nullptr), 2);

    TStringIntegerIntegerMap_HashTable counts;
    counts.Add({"a", 1, 2});
    EXPECT_EQ(counts.ValueOf("a", &TStringIntegerIntegerEntry::value2, -1), 2);
    EXPECT_FALSE(counts.Contains("A"));
}

} // namespace
} // namespace qz
