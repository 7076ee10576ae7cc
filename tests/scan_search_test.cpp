// The raw scan: every signature found exactly once at its true offset, whatever the read size
// and whichever search the machine runs.
#include <gtest/gtest.h>

#include <random>

#include "image/raw_scan.h"
#include "image/signature_search.h"
#include "tests/analysis_fixture.h"

namespace {

constexpr uint64_t MiB = 1024 * 1024;

using fixture::Hits;
using fixture::hits_of;

// Every occurrence of each signature in the whole image, found without the scan's machinery.
Hits find_all(const std::string& data)
{
    image::ScanIndex index{};
    fixture::index_signatures(data, &index);
    Hits all = hits_of(index);
    image::free_scan_index(&index);
    return all;
}

void plant(std::string* data, size_t at, const char* sig) { data->replace(at, std::strlen(sig), sig); }

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, 0);
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::vector<image::SearchVariant> variants()
{
    image::SearchVariant v[8];
    size_t n = image::search_variants(v, 8);
    return std::vector<image::SearchVariant>(v, v + n);
}

// Signatures planted at every position around the vector widths, in buffers of every length up
// to a few vectors: a vector search that drops a lane, reads past the end, mishandles the tail or a
// repeated first letter differs from the plain one (which the raw scan test holds to the slow finder).
TEST(ScanBuffer, VectorSearchesMatchThePlainOneAtEveryBoundary)
{
    const char* sigs[] = {"ftypXAVC", "kkad", "moov", "kkadkkad", "ffftypXAVCmmoovkkkad", "ftypXAVDftypxavc"};
    for (const image::SearchVariant& v : variants()) {
        for (size_t len = 0; len <= 200; len++) {
            for (size_t at = 0; at <= len; at += 1 + at / 40) {
                for (const char* sig : sigs) {
                    std::string data = random_bytes(len, unsigned(len * 131 + at));
                    data.replace(at, std::min(std::strlen(sig), len - at), sig, std::min(std::strlen(sig), len - at));
                    image::ScanIndex got{}, want{};
                    v.search(reinterpret_cast<const uint8_t*>(data.data()), len, 7, &got);
                    image::scan_buffer_plain(reinterpret_cast<const uint8_t*>(data.data()), len, 7, &want);
                    ASSERT_EQ(hits_of(got), hits_of(want)) << v.name << " len=" << len << " at=" << at << " " << sig;
                    image::free_scan_index(&got);
                    image::free_scan_index(&want);
                }
            }
        }
    }
}

void no_more(void*, const image::ScanIndex*, const uint8_t*, size_t) {}

// The scan's hits; with a ring, the scan reads into it, and *tail is what it holds at the end.
std::string scan_file(const fixture::TempImage& img, uint64_t chunk, int progress, Hits* out, uint64_t ring_bytes = 0,
                      std::string* tail = nullptr)
{
    image::ScanIndex index{};
    image::ScanRing ring{};
    image::ScanObserver observer = {no_more, nullptr, &ring};
    if (ring_bytes)
        image::scan_ring_init(&ring, ring_bytes);
    testing::internal::CaptureStdout();
    image::raw_scan(img.f, img.size, chunk, progress, &index, ring_bytes ? &observer : nullptr);
    std::string printed = testing::internal::GetCapturedStdout();
    *out = hits_of(index);
    image::free_scan_index(&index);
    if (ring_bytes) {
        uint64_t held = std::min<uint64_t>(img.size, ring_bytes);
        tail->assign(size_t(held), 0);
        EXPECT_EQ(image::scan_ring_copy(&ring, img.size - held, tail->data(), held), 1);
        image::scan_ring_free(&ring);
    }
    return printed;
}

struct ChunkRow {
    const char* name;
    uint64_t chunk;
};

TEST(RawScan, SameHitsForEveryReadSize)
{
    std::string data = random_bytes(3 * MiB + 777, 42);
    plant(&data, MiB - 4, "ftypXAVC");             // split 4 + 4 between the first two 1 MiB reads
    plant(&data, 2 * MiB - 1, "kkad");             // one byte in the first read
    plant(&data, MiB - 300, "moov");               // two movie boxes 100 bytes apart in the carry
    plant(&data, MiB - 200, "moov");
    plant(&data, MiB + 10, "kkadkkad");
    plant(&data, MiB + 100, "ffftypXAVCmmoovkkkad");  // a repeated first letter before each
    plant(&data, MiB + 200, "ftypXAVDftypxavc");      // another brand: no clip header
    plant(&data, 4096 - 2, "kkad");
    plant(&data, 256 * 1024 - 4, "ftypXAVC");      // across the slices a read arrives in
    plant(&data, 512 * 1024 - 1, "kkad");
    plant(&data, 768 * 1024 - 2, "moov");
    plant(&data, MiB + 256 * 1024 - 5, "ftypXAVC");
    plant(&data, data.size() - 20, "ftypXAVC");
    plant(&data, data.size() - 4, "kkad");         // ends at the last byte of the image
    plant(&data, data.size() - 12, "ftypXA");      // a clip header cut short by the end
    for (size_t at = 100000; at + 8 < data.size(); at += 99991)
        plant(&data, at, at % 3 ? "kkad" : "ftypXAVC");
    Hits expected = find_all(data);
    ASSERT_EQ(expected[2].size(), 4u + find_all(random_bytes(3 * MiB + 777, 42))[2].size());

    fixture::TempImage img(data);
    const std::vector<ChunkRow> rows = {
        {"1 MiB reads", MiB}, {"64 MiB reads (default)", 64 * MiB}, {"reads of 4093 bytes", 4093}, {"reads of 513 bytes", 513},
    };
    // read straight into a ring, the carried bytes come from its guard each time it wraps
    const uint64_t rings[] = {0, image::scan_ring_guard, 1000, 256 * 1024 + 3, 56 * MiB};
    for (const ChunkRow& row : rows) {
        for (uint64_t ring_bytes : rings) {
            SCOPED_TRACE(std::string(row.name) + ", ring of " + std::to_string(ring_bytes) + " bytes");
            Hits got;
            std::string tail;
            EXPECT_EQ(scan_file(img, row.chunk, 0, &got, ring_bytes, &tail), "");
            EXPECT_EQ(got, expected);
            EXPECT_TRUE(tail == data.substr(data.size() - tail.size()));
        }
    }
}

}  // namespace
