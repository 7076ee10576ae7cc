// The scan cache: its key, its name, and which files are trusted, deleted or written.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "basics/byte_order.h"
#include "image/card_reader.h"
#include "image/raw_scan.h"
#include "image/path_join.h"
#include "image/scan_cache.h"
#include "platform/platform.h"
#include "tests/analysis_fixture.h"

namespace {

namespace fs = std::filesystem;
using fixture::read_file;
using fixture::write_file;

std::string pattern(size_t n, unsigned mul)
{
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * mul + i / 251) & 0xFF);
    return s;
}

uint64_t fingerprint_of(const fixture::TempImage& image) { return image::image_fingerprint(image.f, image.size); }

struct JoinRow {
    const char* name;
    size_t cap;
    const char* folder;
    const char* file;
    std::string expected;
};

TEST(PathJoin, OneSeparatorAndCutToTheBuffer)
{
    const std::string sep(1, platform::path_separator);
    const std::vector<JoinRow> rows = {
        {"folder ending in a backslash", 64, "C:\\work\\", "a.bin",
         sep == "\\" ? "C:\\work\\a.bin" : "C:\\work\\/a.bin"},  // a file name character on Linux
        {"folder ending in a slash", 64, "/tmp/work/", "a.bin", "/tmp/work/a.bin"},
        {"plain folder", 64, "out", "a.bin", "out" + sep + "a.bin"},
        {"empty folder", 64, "", "a.bin", "a.bin"},
        {"name left out when only the separator fits", 8, "abcdef", "xyz", "abcdef" + sep},
        {"name cut to the room left", 10, "abcdef", "xyz123", "abcdef" + sep + "xy"},
        {"folder fills the buffer: no separator", 7, "abcdef", "xyz", "abcdef"},
        {"folder longer than the buffer is cut", 4, "abcdef", "xyz", "abc"},
        {"empty folder, name cut", 4, "", "a.bin", "a.b"},
        {"capacity 1 gives an empty text", 1, "abc", "x", ""},
    };
    for (const JoinRow& row : rows) {
        SCOPED_TRACE(row.name);
        char out[80];
        std::memset(out, '#', sizeof out);
        image::path_join(out, row.cap, row.folder, row.file);
        EXPECT_EQ(std::string(out), row.expected);
        EXPECT_EQ(out[row.cap], '#');  // nothing written past the buffer
    }
}

// A 1 MiB image with a few hits, its cache written by a real scan.
struct CacheFixture : testing::Test {
    fixture::TempDir dir;
    fs::path work = dir.path / "work";
    std::string data;
    std::unique_ptr<fixture::TempImage> img;

    void SetUp() override
    {
        fs::create_directory(work);
        data = pattern(1 << 20, 11);
        data.replace(1000, 8, "ftypXAVC");
        data.replace(300000, 4, "kkad");
        data.replace(600000, 4, "kkad");
        data.replace(data.size() - 4, 4, "moov");
        img = std::make_unique<fixture::TempImage>(data);
    }

    std::string cache_path(uint64_t fp)
    {
        char path[image::cache_path_capacity];
        image::scan_cache_path(work.c_str(), fp, path);
        return path;
    }

    // The hits the scan found.
    fixture::Hits scan_and_write(const fixture::TempImage& image)
    {
        image::ScanIndex index{};
        image::raw_scan(image.f, image.size, 1 << 20, 0, &index);
        image::scan_cache_write(work.c_str(), fingerprint_of(image), image.size, &index);
        fixture::Hits found = fixture::hits_of(index);
        image::free_scan_index(&index);
        return found;
    }

    // 1 on a hit; `printed` gets what the lookup wrote to standard output.
    int lookup(const fixture::TempImage& image, image::ScanIndex* index, std::string* printed)
    {
        testing::internal::CaptureStdout();
        int hit = image::scan_cache_lookup(work.c_str(), fingerprint_of(image), image.size, index);
        *printed = testing::internal::GetCapturedStdout();
        return hit;
    }
};

struct LayoutRow {
    const char* name;
    std::string data;
    std::vector<uint64_t> counts_and_offsets;  // after the size and the key
};

TEST_F(CacheFixture, FileNameAndLayout)
{
    const std::vector<LayoutRow> rows = {
        {"1 MiB image with four hits", data, {1, 2, 1, 1000, 300000, 600000, data.size() - 4}},
        {"empty image: header only", "", {0, 0, 0}},
    };
    for (const LayoutRow& row : rows) {
        SCOPED_TRACE(row.name);
        fixture::TempImage image(row.data);
        scan_and_write(image);
        uint64_t fp = fingerprint_of(image);
        char name[64];
        std::snprintf(name, sizeof name, "velto_xavc_scan_%016llx.bin", (unsigned long long)fp);
        EXPECT_EQ(cache_path(fp), (work / name).string());
        std::string file = read_file(cache_path(fp));
        ASSERT_EQ(file.size(), 24u + 8 * row.counts_and_offsets.size());
        const uint8_t* p = reinterpret_cast<const uint8_t*>(file.data());
        EXPECT_EQ(std::memcmp(p, "VLXSC34\0", 8), 0);
        EXPECT_EQ(basics::load_le64(p + 8), row.data.size());
        EXPECT_EQ(basics::load_le64(p + 16), fp);
        for (size_t i = 0; i < row.counts_and_offsets.size(); i++)
            EXPECT_EQ(basics::load_le64(p + 24 + 8 * i), row.counts_and_offsets[i]) << "field " << i;
        EXPECT_FALSE(fs::exists(cache_path(fp) + ".tmp"));
        image::ScanIndex index{};
        std::string printed;
        EXPECT_EQ(lookup(image, &index, &printed), 1);
        image::free_scan_index(&index);
    }
}

struct CopyRow {
    const char* name;
    int64_t changed_byte;  // -1: an unchanged copy
    bool hit;
};

TEST_F(CacheFixture, HitOnlyWhenSizeAndSamplesMatch)
{
    fixture::Hits first = scan_and_write(*img);
    const std::vector<CopyRow> rows = {
        {"copy under another name", -1, true},
        {"byte changed in the first 64 KiB", 100, false},
        {"byte changed in the middle 64 KiB", (1 << 19) + 1000, false},
        {"byte changed in the last 64 KiB", (1 << 20) - 5000, false},
        {"byte changed outside the samples", 200000, true},
    };
    for (const CopyRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string copy = data;
        if (row.changed_byte >= 0)
            copy[size_t(row.changed_byte)] ^= 0x5A;
        fixture::TempImage other(copy);
        image::ScanIndex index{};
        std::string printed;
        EXPECT_EQ(lookup(other, &index, &printed), row.hit ? 1 : 0);
        EXPECT_EQ(printed, row.hit ? "  scan cache hit - full image scan reused\n" : "");
        EXPECT_EQ(fixture::hits_of(index), row.hit ? first : fixture::Hits(3));
        EXPECT_TRUE(fs::exists(cache_path(fingerprint_of(*img))));  // the original's cache is untouched
        image::free_scan_index(&index);
    }
}

struct StreamRow {
    const char* name;
    size_t size;
    size_t slice;              // the scan's reads
    int64_t unreadable;        // a span the card did not give, from here (-1: none)
    bool taken;                // the stream gives a fingerprint
};

// The fingerprint taken from the scan's bytes as they pass names the same cache as the one read
// after the scan, whatever the reads' sizes and wherever a sample did not read; an image whose
// samples overlap, or a scan that misses bytes, leaves it to the reads after the scan.
TEST(FingerprintStream, SameAsReadAfterTheScan)
{
    const std::vector<StreamRow> rows = {
        {"reads of 256 KiB", 1 << 20, 256 << 10, -1, true},
        {"odd reads across the samples' edges", (1 << 20) + 4097, 12345, -1, true},
        {"one read of the whole image", 3 << 19, 3 << 19, -1, true},
        {"samples just apart", 3 << 16, 4096, -1, true},
        {"samples overlapping", (3 << 16) - 2, 4096, -1, false},
        {"the first sample did not read", 1 << 20, 65536, 70, true},
        {"the middle sample did not read", 1 << 20, 65536, (1 << 19) + 5, true},
        {"the last sample did not read", 1 << 20, 65536, (1 << 20) - 9, true},
        {"outside the samples", 1 << 20, 65536, 300000, true},
        {"a scan that skips bytes of a sample", 1 << 20, 65536, -2, false},
    };
    for (const StreamRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string bytes = pattern(row.size, 13);
        fixture::TempImage img(bytes, row.name);
        image::card_attach(img.f, img.size);
        image::FingerprintStream f;
        image::fingerprint_stream_begin(&f, img.f, img.size);
        for (size_t at = 0; at < row.size; at += row.slice) {
            size_t n = std::min(row.slice, row.size - at);
            if (row.unreadable >= 0 && uint64_t(row.unreadable) >= at && uint64_t(row.unreadable) < at + n)
                image::card_mark_unknown(uint64_t(row.unreadable), 8, image::status_bad_sector, image::cause_read_error);
            if (row.unreadable == -2 && at == 8 * row.slice)  // inside the middle sample
                continue;
            image::fingerprint_stream_take(&f, at, reinterpret_cast<const uint8_t*>(bytes.data()) + at, n);
        }
        uint64_t streamed = 0;
        EXPECT_EQ(image::fingerprint_stream_end(&f, &streamed), row.taken ? 1 : 0);
        if (row.taken) {
            EXPECT_EQ(streamed, image::image_fingerprint(img.f, img.size));
        }
        image::card_detach();
    }
}

struct DamageRow {
    const char* name;
    std::function<void(std::string*)> damage;
};

void put64(std::string* file, size_t at, uint64_t v) { basics::store_le64(reinterpret_cast<uint8_t*>(&(*file)[at]), v); }

TEST_F(CacheFixture, StaleOrDamagedFileIsDeletedThenRewritten)
{
    const std::vector<DamageRow> rows = {
        // the corruption campaign runs every other wrong field through the engine
        {"magic without its zero byte", [](std::string* f) { (*f)[7] = ' '; }},
        {"kkad count over 10,000,000", [](std::string* f) { put64(f, 32, 10000001); }},
        {"offset equal to the image size", [](std::string* f) { put64(f, 72, 1 << 20); }},
    };
    scan_and_write(*img);
    std::string path = cache_path(fingerprint_of(*img));
    std::string good = read_file(path);
    for (const DamageRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string bad = good;
        row.damage(&bad);
        write_file(path, bad);
        image::ScanIndex index{};
        std::string printed;
        EXPECT_EQ(lookup(*img, &index, &printed), 0);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(index.xavc_hits.count + index.kkad_hits.count + index.moov_hits.count, 0u);
        EXPECT_EQ(index.xavc_hits.items, nullptr);
        EXPECT_FALSE(fs::exists(path));
        scan_and_write(*img);
        EXPECT_EQ(read_file(path), good);
        EXPECT_EQ(lookup(*img, &index, &printed), 1);
        image::free_scan_index(&index);
    }
}

// Whether a folder may hold a cache file, by its names alone: a name of both ends, however short,
// may be one; a folder that cannot be listed may hold anything.
TEST(FolderMayHold, NamesWithBothEndsOrAnUnlistedFolder)
{
    const struct {
        const char* name;
        std::vector<const char*> files;
        int expect;
    } rows[] = {
        {"an empty folder", {}, 0},
        {"a cache file among others", {"notes.txt", "scan-0123abcd.cache", "zzz"}, 1},
        {"nothing between the ends", {"scan-.cache"}, 1},
        {"the ends overlap", {"scan-cache"}, 0},
        {"another ending", {"scan-0123.cache.tmp", "scan-0123.cach"}, 0},
        {"another beginning", {"xscan-0123.cache", "sca-0123.cache"}, 0},
        {"a folder cannot be listed", {}, 1},
    };
    for (const auto& r : rows) {
        fixture::TempDir dir;
        fs::path folder = dir.path / "work";
        if (r.expect == 0 || !r.files.empty())
            fs::create_directory(folder);
        for (const char* f : r.files)
            write_file(folder / f, std::string("x"));
        EXPECT_EQ(platform::folder_may_hold(folder.string().c_str(), "scan-", ".cache"), r.expect) << r.name;
    }
}

TEST_F(CacheFixture, MissingWorkingFolderMeansNoCacheAndNoMessage)
{
    work = dir.path / "not-there";
    scan_and_write(*img);
    image::ScanIndex index{};
    std::string printed;
    EXPECT_EQ(lookup(*img, &index, &printed), 0);
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(fs::exists(work));
}

}  // namespace
