// The file-system reader on cards built byte by byte: which entry sets it accepts, which extents
// it trusts, and what a walk of a tree of several-cluster folders finds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filesystem/catalog.h"
#include "filesystem/entry_set.h"
#include "filesystem/extent.h"
#include "filesystem/fs_volume.h"
#include "image/raw_scan.h"
#include "image/scan_cache.h"
#include <unistd.h>

namespace {

using namespace filesystem;

void put16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void put32(uint8_t* p, uint32_t v) { put16(p, v), put16(p + 2, v >> 16); }
void put64(uint8_t* p, uint64_t v) { put32(p, uint32_t(v)), put32(p + 4, uint32_t(v >> 32)); }

struct SetFields {
    std::u16string name;
    uint32_t first_cluster = 5;
    uint64_t length = 1000;
    bool no_fat_chain = true;
    bool directory = false;
};

// A whole set with its hash over the default up-cased name and its checksum, InUse set.
std::vector<uint8_t> make_set(const SetFields& s)
{
    size_t names = (s.name.size() + 14) / 15;
    std::vector<uint8_t> b((2 + names) * entry_bytes, 0);
    b[0] = 0x85, b[1] = uint8_t(1 + names), b[4] = s.directory ? 0x10 : 0x20;
    put32(&b[12], (46u << 25) | (12u << 21) | (6u << 16) | (14u << 11) | (3u << 5) | 13u);  // 2026-12-06 14:03:26
    b[21] = 145, b[23] = 0x80 | 4;                                                           // +1.45 s, UTC+01:00
    uint8_t* st = &b[32];
    st[0] = 0xC0, st[1] = uint8_t(1 | (s.no_fat_chain ? 2 : 0)), st[3] = uint8_t(s.name.size());
    std::vector<uint16_t> up;
    for (char16_t c : s.name)
        up.push_back(default_upcase(uint16_t(c)));
    put16(st + 4, name_hash(up.data(), up.size()));
    put64(st + 8, s.length), put32(st + 20, s.first_cluster), put64(st + 24, s.length);
    for (size_t i = 0; i < s.name.size(); i++) {
        uint8_t* e = &b[(2 + i / 15) * entry_bytes];
        e[0] = 0xC1;
        put16(e + 2 + (i % 15) * 2, s.name[i]);
    }
    for (size_t e = 2; e < 2 + names; e++)
        b[e * entry_bytes] = 0xC1;
    put16(&b[2], set_checksum(b.data(), 2 + names));
    return b;
}

void clear_in_use(std::vector<uint8_t>* set)
{
    for (size_t e = 0; e < set->size(); e += entry_bytes)
        (*set)[e] &= 0x7F;
}

uint16_t default_map(const void*, uint16_t u) { return default_upcase(u); }

struct SetRow {
    const char* what;
    SetFields fields;
    void (*damage)(std::vector<uint8_t>*);
    int accepted;
    int live;
};

TEST(EntrySet, AcceptsOnlySetsThatAgreeWithThemselves)
{
    const SetRow rows[] = {
        {"live set", {u"C0001.MP4"}, nullptr, 1, 1},
        {"deleted set: its checksum holds with the InUse bits set again", {u"C0001.MP4"}, clear_in_use, 1, 0},
        {"lower case and non-ASCII name hashed up-cased", {u"clip_été_ъ.mp4"}, nullptr, 1, 1},
        {"name of 40 units over three name entries", {u"a_rather_long_file_name_over_three_slots.XML"}, nullptr, 1, 1},
        {"InUse cleared on the primary alone", {u"C0001.MP4"}, [](std::vector<uint8_t>* s) { (*s)[0] &= 0x7F; }, 0, 0},
        {"one name unit changed after the checksum",
         {u"C0001.MP4"}, [](std::vector<uint8_t>* s) { (*s)[66] = 'X'; }, 0, 0},
        {"name changed with the checksum made again: the hash no longer holds",
         {u"C0001.MP4"},
         [](std::vector<uint8_t>* s) {
             (*s)[66] = 'X';
             put16(&(*s)[2], set_checksum(s->data(), s->size() / entry_bytes));
         },
         0, 0},
        {"secondary count short of the name entries",
         {u"a_rather_long_file_name_over_three_slots.XML"},
         [](std::vector<uint8_t>* s) {
             (*s)[1] = 2;
             put16(&(*s)[2], set_checksum(s->data(), 3));
         },
         0, 0},
        {"first cluster past the heap", {u"C0001.MP4", 70}, nullptr, 0, 0},
        {"first cluster 1", {u"C0001.MP4", 1}, nullptr, 0, 0},
        {"slot reused: a newer file entry where a name entry was",
         {u"C0001.MP4"}, [](std::vector<uint8_t>* s) { (*s)[64] = 0x85; }, 0, 0},
    };
    for (const SetRow& row : rows) {
        std::vector<uint8_t> set = make_set(row.fields);
        if (row.damage)
            row.damage(&set);
        FileEntry f;
        int got = parse_entry_set(set.data(), set.size(), default_map, nullptr, 64, &f);
        EXPECT_EQ(got, row.accepted) << row.what;
        if (got && row.accepted) {
            EXPECT_EQ(int(f.live), row.live) << row.what;
            EXPECT_EQ(f.name_units, row.fields.name.size()) << row.what;
            EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(f.name), f.name_units), row.fields.name) << row.what;
        }
    }
}

TEST(EntrySet, TimesCarryTheirHundredthsAndOffset)
{
    FileEntry f;
    std::vector<uint8_t> set = make_set({u"C0001.MP4"});
    ASSERT_TRUE(parse_entry_set(set.data(), set.size(), default_map, nullptr, 64, &f));
    char text[64];
    fs_time_text(&f.modified, text, sizeof text);
    EXPECT_STREQ(text, "2026-12-06 14:03:27.45 +01:00");
    EXPECT_EQ(fs_time_unix(&f.modified), 1796562207);  // 13:03:27 UTC
}

// A card of 64 clusters of 512 bytes, its FAT and bitmap in memory.
struct TinyVolume {
    FsVolume v = {};
    std::vector<uint32_t> fat = std::vector<uint32_t>(66, 0);
    std::vector<uint8_t> bitmap = std::vector<uint8_t>(8, 0);
    TinyVolume()
    {
        v.cluster_bytes = 512, v.cluster_count = 64, v.heap_offset = 8192;
        v.fat = fat.data(), v.fat_entries = fat.size(), v.bitmap = bitmap.data(), v.bitmap_bytes = bitmap.size();
    }
    void chain(std::vector<uint32_t> clusters, bool allocate)
    {
        for (size_t i = 0; i < clusters.size(); i++) {
            fat[clusters[i]] = i + 1 < clusters.size() ? clusters[i + 1] : fat_end;
            if (allocate)
                bitmap[(clusters[i] - 2) / 8] |= uint8_t(1 << ((clusters[i] - 2) % 8));
        }
    }
};

struct ExtentRow {
    const char* what;
    std::vector<uint32_t> chain;  // FAT chain written from its first cluster
    bool allocated;
    uint32_t first;
    uint64_t length;
    int no_fat_chain, live;
    uint32_t verdict;
    size_t runs;
};

TEST(FileExtent, FollowsOnlyChainsThatHold)
{
    const ExtentRow rows[] = {
        {"contiguous without a chain", {}, true, 10, 2048, 1, 1, extent_ok, 1},
        {"contiguous run past the heap", {}, false, 60, 4096, 1, 0, extent_out_of_range, 0},
        {"fragmented chain in two runs", {10, 11, 20, 21}, true, 10, 2000, 0, 1, extent_ok, 2},
        {"chain longer than the length", {10, 11, 20}, true, 10, 600, 0, 1, extent_chain_broken, 0},
        {"chain ending early", {10, 11}, true, 10, 2000, 0, 1, extent_chain_broken, 0},
        {"chain zeroed by a delete", {}, false, 10, 2000, 0, 0, extent_chain_broken, 0},
        {"loop back to the first cluster", {10, 11, 10}, true, 10, 2000, 0, 1, extent_loop, 0},
        {"loop into the middle", {10, 11, 12, 11}, true, 10, 3000, 0, 1, extent_loop, 0},
        {"chain out of the heap", {10, 90}, true, 10, 1000, 0, 1, extent_out_of_range, 0},
        {"live file on free clusters", {10, 11}, false, 10, 1000, 0, 1, extent_bitmap_conflict, 0},
        {"deleted file whose clusters another file holds", {10, 11}, true, 10, 1000, 0, 0, extent_bitmap_conflict, 0},
        {"deleted file on free clusters", {10, 11}, false, 10, 1000, 0, 0, extent_ok, 1},
    };
    for (const ExtentRow& row : rows) {
        TinyVolume t;
        if (!row.chain.empty()) {
            // a loop or an exit is written link by link, without the end mark
            bool plain = true;
            for (size_t i = 0; i < row.chain.size(); i++)
                for (size_t j = 0; j < i; j++)
                    plain &= row.chain[i] != row.chain[j];
            plain &= row.chain.back() < 66;
            if (plain) {
                t.chain(row.chain, row.allocated);
            } else {
                for (size_t i = 0; i + 1 < row.chain.size(); i++) {
                    t.fat[row.chain[i]] = row.chain[i + 1];
                    if (row.allocated)
                        t.bitmap[(row.chain[i] - 2) / 8] |= uint8_t(1 << ((row.chain[i] - 2) % 8));
                }
            }
        } else if (row.allocated) {
            for (uint32_t c = row.first; c < row.first + (row.length + 511) / 512 && c < 66; c++)
                t.bitmap[(c - 2) / 8] |= uint8_t(1 << ((c - 2) % 8));
        }
        Extent e;
        EXPECT_EQ(file_extent(&t.v, row.first, row.length, row.no_fat_chain, row.live, &e), row.verdict) << row.what;
        EXPECT_EQ(e.runs.count, row.runs) << row.what;
        free_extent(&e);
    }
}

TEST(FileExtent, MapsFileOffsetsAcrossRuns)
{
    TinyVolume t;
    t.chain({10, 11, 20}, true);
    Extent e;
    ASSERT_EQ(file_extent(&t.v, 10, 1500, 0, 1, &e), uint32_t(extent_ok));
    uint64_t at = 0, span = 0, back = 0;
    ASSERT_TRUE(extent_image_offset(&t.v, &e, 1100, &at, &span));
    EXPECT_EQ(at, 8192 + 18 * 512 + 76u);
    EXPECT_EQ(span, 400u);  // to the file's end, not the cluster's
    ASSERT_TRUE(extent_file_offset(&t.v, &e, at, &back));
    EXPECT_EQ(back, 1100u);
    EXPECT_FALSE(extent_file_offset(&t.v, &e, 8192 + 18 * 512 + 500, &back));  // past the file's end
    EXPECT_FALSE(extent_image_offset(&t.v, &e, 1500, &at, &span));
    free_extent(&e);
}

// The same card as an image: boot sector, FAT, a bitmap in cluster 2, a root folder over clusters
// 4 and 9, a CLIP folder in cluster 6, and a set carved from cluster 30 whose folder set no folder
// of the tree holds any longer.
struct TinyCard {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(8192 + 64 * 512, 0);
    uint8_t* cluster(uint32_t c) { return &bytes[8192 + (c - 2) * 512]; }
    void fat(uint32_t c, uint32_t next) { put32(&bytes[4 * 512 + 4 * c], next); }
    void allocate(uint32_t c) { cluster(2)[(c - 2) / 8] |= uint8_t(1 << ((c - 2) % 8)); }
    TinyCard()
    {
        uint8_t* s = bytes.data();
        std::memcpy(s, "\xEB\x76\x90" "EXFAT   ", 11);
        put64(s + 72, 80), put32(s + 80, 4), put32(s + 84, 4), put32(s + 88, 16), put32(s + 92, 64), put32(s + 96, 4);
        s[108] = 9, s[109] = 0, s[110] = 1;
        fat(2, fat_end), fat(4, 9), fat(9, fat_end), fat(6, fat_end);
        for (uint32_t c : {2u, 4u, 9u, 6u})
            allocate(c);
        // unused entries (types 0x01 to 0x7F) between the sets, so no zero type ends the root early
        for (size_t at = 32; at < 1024; at += entry_bytes)
            (at < 512 ? cluster(4) : cluster(9))[at % 512] = at < 800 ? 0x01 : 0x00;
        uint8_t* bitmap_entry = cluster(4);
        bitmap_entry[0] = 0x81, put32(bitmap_entry + 20, 2), put64(bitmap_entry + 24, 8);
        place(4, 32, make_set({u"CLIP", 6, 512, false, true}));
        std::vector<uint8_t> deleted = make_set({u"OLD.MP4", 40, 700, true});
        clear_in_use(&deleted);
        place(4, 128, deleted);
        // the CLIP folder and the clusters of its clip
        for (uint32_t c = 12; c < 14; c++)
            allocate(c);
        place(6, 0, make_set({u"C0001.MP4", 12, 1000, true}));
        std::vector<uint8_t> carved = make_set({u"C0002.MP4", 50, 900, true});
        clear_in_use(&carved);
        std::memcpy(cluster(30), carved.data(), carved.size());
        // the set of the carved folder, carved itself
        std::vector<uint8_t> folder = make_set({u"DCIM", 30, 512, false, true});
        std::memcpy(cluster(31), folder.data(), folder.size());
    }
    // Places a set in the root's chain at byte `at` of the folder (clusters 4 then 9).
    void place(uint32_t folder_first, size_t at, const std::vector<uint8_t>& set)
    {
        for (size_t i = 0; i < set.size(); i++) {
            size_t pos = at + i;
            uint32_t c = folder_first == 4 ? (pos < 512 ? 4 : 9) : folder_first;
            cluster(c)[pos % 512] = set[i];
        }
    }
};

TEST(Catalog, WalksMultiClusterFoldersAndCarvesTheRest)
{
    TinyCard card;
    // a set in the root that runs from cluster 4 over into cluster 9
    card.place(4, 480, make_set({u"MEDIAPRO.XML", 20, 300, true}));
    card.allocate(20);
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(card.bytes.data(), 1, card.bytes.size(), f);
    FsVolume v;
    ASSERT_TRUE(open_volume(f, card.bytes.size(), 0, &v));
    load_root_tables(&v);
    ASSERT_NE(v.bitmap, nullptr);
    image::OffsetList hits;
    basics::list_append(&hits, uint64_t(8192 + 28 * 512));  // cluster 30
    basics::list_append(&hits, uint64_t(8192 + 4 * 512));   // the CLIP folder's set, met in the walk too
    basics::list_append(&hits, uint64_t(8192 + 29 * 512));  // cluster 31
    FsCatalog c = {};
    build_catalog(&v, &hits, &c);
    std::vector<std::string> seen;
    for (size_t i = 0; i < c.files.count; i++) {
        const FsFile* file = &c.files.items[i];
        char name[256];
        name_utf8(file->entry.name, file->entry.name_units, name, sizeof name);
        seen.push_back(std::string(file->folder) + "|" + name + "|" + (file->entry.live ? "live" : "deleted") + "|" +
                       (file->origin == origin_carved ? "carved" : "tree"));
    }
    const std::vector<std::string> expected = {"|CLIP|live|tree", "|OLD.MP4|deleted|tree", "|MEDIAPRO.XML|live|tree",
                                               "CLIP|C0001.MP4|live|tree", "DCIM|C0002.MP4|deleted|carved",
                                               "|DCIM|live|carved"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(c.folders_read, 2u);
    free_catalog(&c);
    basics::list_free(&hits);
    close_volume(&v);
    std::fclose(f);
}

}  // namespace

namespace {

// The raw scan's entry-set steps: aligned sets live and deleted, also one whose stream extension
// starts the next read; unaligned or mixed sets and a set without its name entry are passed over. The scan cache keeps the list.
TEST(EntrySetHits, FoundInTheScanAndKeptInTheCache)
{
    std::vector<uint8_t> image(600 * 1024, 0xAB);
    std::vector<uint8_t> deleted = make_set({u"C0003.MP4"});
    clear_in_use(&deleted);
    std::vector<uint8_t> mixed = make_set({u"C0004.MP4"});
    mixed[32] &= 0x7F;
    std::vector<uint8_t> nameless = make_set({u"C0006.MP4"});
    nameless[64] = 0x20;
    const struct {
        uint64_t at;
        const std::vector<uint8_t> set;
        bool found;
    } rows[] = {
        {4096, make_set({u"C0001.MP4"}), true},
        {256 * 1024 - 32, make_set({u"C0002.MP4"}), true},
        {300 * 1024, deleted, true},
        {400 * 1024 + 8, make_set({u"C0005.MP4"}), false},
        {500 * 1024, mixed, false},
        {520 * 1024, nameless, false},
    };
    std::vector<uint64_t> expected;
    for (const auto& row : rows) {
        std::memcpy(&image[row.at], row.set.data(), row.set.size());
        if (row.found)
            expected.push_back(row.at);
    }
    std::FILE* f = std::tmpfile();
    std::fwrite(image.data(), 1, image.size(), f);
    image::ScanIndex index = {};
    image::raw_scan(f, image.size(), 1024 * 1024, 0, &index);
    EXPECT_EQ(std::vector<uint64_t>(index.set_hits.items, index.set_hits.items + index.set_hits.count), expected);

    char dir[] = "/tmp/mendora_sets_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    image::scan_cache_write(dir, 77, image.size(), &index);
    image::ScanIndex back = {};
    ASSERT_TRUE(image::scan_cache_lookup(dir, 77, image.size(), &back));
    EXPECT_EQ(std::vector<uint64_t>(back.set_hits.items, back.set_hits.items + back.set_hits.count), expected);
    char path[image::cache_path_capacity];
    image::scan_cache_path(dir, 77, path);
    std::remove(path);
    rmdir(dir);
    image::free_scan_index(&index);
    image::free_scan_index(&back);
    std::fclose(f);
}

}  // namespace
