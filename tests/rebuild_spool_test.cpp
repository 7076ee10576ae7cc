// A clip file taken from the spool of the scan comes out byte for byte as the same copies give
// into a file written from zero: copies in place are left out, the others written, and whatever no
// copy wrote is zero.
#include <gtest/gtest.h>

#include <random>

#include "image/scan_ring.h"
#include "platform/platform.h"
#include "rebuild/image_copy.h"
#include "rebuild/output_file.h"
#include "rebuild/spool.h"
#include "tests/analysis_fixture.h"

namespace {

using namespace fixture;

// A clip header at H whose media data ends at E, in an image of noise.
constexpr uint64_t H = 4096, E = H + 600000, image_bytes = 1 << 20, file_size = E - H + 3000;

Bytes make_image()
{
    std::mt19937 rng(5);
    Bytes b(image_bytes);
    for (auto& c : b)
        c = uint8_t(rng());
    Bytes head = box("ftyp", {'X', 'A', 'V', 'C', 0, 0, 0, 1, 'X', 'A', 'V', 'C', 'm', 'p', '4', '2'});
    mkcard::put_be32(head, uint32_t(E - H - head.size()));
    mkcard::put_text(head, "mdat");
    std::copy(head.begin(), head.end(), b.begin() + H);
    return b;
}

struct Copy {
    uint64_t from, to, length;
    bool through;  // read into a buffer for the caller, as the decode check needs
};

struct Row {
    const char* name;
    uint64_t scanned;  // image bytes the scan read
    std::vector<Copy> copies;
};

const Row rows[] = {
    {"header and chunks in place", image_bytes, {{H, 0, 32, false}, {H + 100, 100, 5000, false}, {H + 20000, 20000, 30000, true}}},
    {"a chunk from elsewhere", image_bytes, {{H, 0, 32, false}, {H + 700000 - 4096, 1000, 4000, false}}},
    {"a chunk from elsewhere under a later copy in place", image_bytes,
     {{900000, 1000, 4000, false}, {H + 2000, 2000, 5000, false}, {H + 9000, 9000, 10, true}}},
    {"a copy in place overwritten from elsewhere", image_bytes, {{H + 2000, 2000, 5000, true}, {900000, 3000, 1000, true}}},
    {"nothing copied", image_bytes, {}},
    {"copies past what the scan read", H + 100000, {{H + 50000, 50000, 100000, false}, {H + 10, 10, 20, false}}},
    {"the scan stopped before the header", H / 2, {{H, 0, 32, false}}},
};

// The file the copies give, through the spool when `spooled`, else from zero.
std::string write_file_of(const TempImage& img, const Bytes& image, const Row& row, bool spooled, TempDir* out)
{
    std::string temp = (out->path / (spooled ? "spooled.partial" : "fresh.partial")).string();
    std::FILE* f = nullptr;
    if (spooled) {
        image::ScanRing ring;
        image::scan_ring_init(&ring, image_bytes);
        rebuild::spool_begin(img.f, img.size, &ring, out->path.c_str());
        image::ScanIndex index{};
        index_signatures(Bytes(image.begin(), image.begin() + long(row.scanned)), &index);
        image::scan_ring_append(&ring, image.data(), size_t(row.scanned));
        rebuild::spool_advance(&index);
        rebuild::spool_end();
        image::free_scan_index(&index);
        image::scan_ring_free(&ring);
        int failed = 0;
        f = rebuild::spool_adopt(H, temp.c_str(), file_size, 1, &failed);
        EXPECT_EQ(failed, 0);
        if (row.scanned > H + 64) {
            EXPECT_NE(f, nullptr) << "the spool was not taken";
        }
    }
    if (!f)
        f = rebuild::create_sized_output(temp.c_str(), file_size, 1);
    EXPECT_NE(f, nullptr);
    Bytes buf(1 << 20);
    for (const Copy& c : row.copies) {
        int ok = c.through ? rebuild::copy_through(img.f, c.from, f, c.to, buf.data(), size_t(c.length))
                           : rebuild::copy_piece(img.f, c.from, f, c.to, buf.data(), size_t(c.length));
        EXPECT_EQ(ok, 1);
        if (c.through) {
            EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + long(c.length), image.begin() + long(c.from)));
        }
    }
    EXPECT_EQ(rebuild::spool_zero_unwritten(f), 1);
    rebuild::spool_release();
    std::fclose(f);
    rebuild::spool_remove_all();
    return read_file(temp);
}

TEST(Spool, FileComesOutAsTheSameCopiesIntoAFileWrittenFromZero)
{
    Bytes image = make_image();
    TempImage img(image, "spool");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir out;
        std::string fresh = write_file_of(img, image, row, false, &out);
        std::string spooled = write_file_of(img, image, row, true, &out);
        ASSERT_EQ(fresh.size(), file_size);
        EXPECT_TRUE(fresh == spooled);
        // only the two files: no spool is left behind
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path), {}), 2);
    }
}

}  // namespace
