// A clip file taken from the spool of the scan comes out byte for byte as the same copies give
// into a file written from zero: copies in place are left out, the others written, and whatever no
// copy wrote is zero.
#include <gtest/gtest.h>

#include <random>

#include "basics/sha256.h"
#include "image/scan_ring.h"
#include "platform/platform.h"
#include "rebuild/image_copy.h"
#include "rebuild/output_file.h"
#include "rebuild/spool.h"
#include "tests/analysis_fixture.h"

namespace {

using namespace fixture;

// A clip header at H whose media data ends at E, in an image of noise and a stretch of zeros.
constexpr uint64_t H = 4096, E = H + 600000, image_bytes = 1 << 20, file_size = E - H + 3000;
constexpr uint64_t zeros_from = 65536 * 3, zeros_to = zeros_from + 65536;

Bytes make_image()
{
    std::mt19937 rng(5);
    Bytes b(image_bytes);
    for (auto& c : b)
        c = uint8_t(rng());
    // a stretch of zeros with stray bytes, at 4 KiB block edges of the file and between them
    std::fill(b.begin() + long(H + zeros_from), b.begin() + long(H + zeros_to), 0);
    for (uint64_t at : {zeros_from + 4 * 4096 - 1, zeros_from + 4 * 4096, zeros_from + 20000, zeros_to - 1})
        b[H + at] = 0x5a;
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
    {"zeros and stray bytes between copies in place", image_bytes,
     {{H + zeros_from + 100, zeros_from + 100, 4000, false}, {H + zeros_from + 8192, zeros_from + 8192, 4096, false},
      {H + zeros_to - 10, zeros_to - 10, 5, true}}},
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
        rebuild::spool_begin(img.f, img.size, &ring, out->path.c_str(), 1);
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

// The hash taken while the scan passes a spooled file, when there is one, is the finished file's;
// there is one when the camera left zeros between its chunks and its kkad boxes there, and none
// once any byte the writer zeroes was not zero or in a box, or a kept byte lay in a box.
struct HashRow {
    const char* name;
    uint64_t piece;       // the scan's reads
    uint64_t stray_byte;  // a file offset made non-zero between the chunks, 0 for none
    bool keep_a_box;      // a copy keeps the first box's bytes
    bool chunk_from_elsewhere;
    bool known;
};

constexpr uint64_t chunk_at = 1000, chunk_stride = 50000, chunk_bytes = 30000, box_gap = 5000, box_bytes = 64;

// The image of a clip whose chunks of noise have a kkad box and zeros between them.
Bytes tidy_image(uint64_t stray)
{
    Bytes b(image_bytes, 0);
    std::mt19937 rng(9);
    for (uint64_t k = 0; chunk_at + k * chunk_stride + chunk_stride < E - H; k++) {
        uint64_t c = H + chunk_at + k * chunk_stride;
        for (uint64_t i = 0; i < chunk_bytes; i++)
            b[c + i] = uint8_t(rng() | 1);
        Bytes kkad(box_bytes - 8);
        for (auto& x : kkad)
            x = uint8_t(rng());
        Bytes bx = box("kkad", kkad);
        std::copy(bx.begin(), bx.end(), b.begin() + long(c + chunk_bytes + box_gap));
    }
    Bytes head = make_image();
    std::copy(head.begin() + H, head.begin() + H + 32, b.begin() + H);
    if (stray)
        b[H + stray] = 7;
    return b;
}

std::string hex_of(basics::Sha256* h)
{
    uint8_t digest[basics::sha256_digest_bytes];
    char hex[basics::sha256_hex_size];
    basics::sha256_end(h, digest);
    basics::sha256_hex(digest, hex);
    return hex;
}

TEST(Spool, HashTakenWhileSpoolingIsTheFinishedFilesOrNone)
{
    const uint64_t first_box = chunk_at + chunk_bytes + box_gap;
    const HashRow rows[] = {
        {"chunks in place, zeros and boxes between", image_bytes, 0, false, false, true},
        {"read in pieces that cut boxes and blocks apart", 7001, 0, false, false, true},
        {"a byte between the chunks that is not zero", 7001, chunk_at + chunk_bytes + 10, false, false, false},
        {"a stray byte in the block a box shares", image_bytes, first_box + box_bytes + 3, false, false, false},
        {"a copy keeps a box", image_bytes, 0, true, false, false},
        {"a chunk copied from elsewhere", image_bytes, 0, false, true, false},
    };
    for (const HashRow& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes image = tidy_image(row.stray_byte);
        TempImage img(image, "spoolhash");
        TempDir out;
        image::ScanRing ring;
        image::scan_ring_init(&ring, image_bytes);
        rebuild::spool_begin(img.f, img.size, &ring, out.path.c_str(), 1);
        image::ScanIndex all{}, seen{};
        index_signatures(image, &all);
        for (uint64_t at = 0; at < image_bytes; at += row.piece) {
            uint64_t n = std::min(row.piece, image_bytes - at);
            image::scan_ring_append(&ring, image.data() + at, size_t(n));
            for (size_t i = 0; i < all.kkad_hits.count; i++)
                if (all.kkad_hits.items[i] + 4 <= at + n)
                    image::record_hit(&seen.kkad_hits, all.kkad_hits.items[i]);
            for (size_t i = 0; i < all.xavc_hits.count; i++)
                if (all.xavc_hits.items[i] + 8 <= at + n)
                    image::record_hit(&seen.xavc_hits, all.xavc_hits.items[i]);
            rebuild::spool_advance(&seen);
        }
        rebuild::spool_end();
        image::free_scan_index(&all);
        image::free_scan_index(&seen);
        image::scan_ring_free(&ring);
        std::string temp = (out.path / "clip.partial").string();
        int failed = 0;
        std::FILE* f = rebuild::spool_adopt(H, temp.c_str(), file_size, 1, &failed);
        ASSERT_NE(f, nullptr);
        Bytes buf(1 << 20);
        EXPECT_EQ(rebuild::copy_piece(img.f, H, f, 0, buf.data(), 32), 1);
        for (uint64_t c = chunk_at; c + chunk_stride < E - H; c += chunk_stride) {
            uint64_t from = row.chunk_from_elsewhere && c == chunk_at ? H + c + 1 : H + c;
            uint64_t length = row.keep_a_box && c == chunk_at ? chunk_bytes + box_gap + 8 : chunk_bytes;
            EXPECT_EQ(rebuild::copy_piece(img.f, from, f, c, buf.data(), size_t(length)), 1);
        }
        EXPECT_EQ(rebuild::spool_zero_unwritten(f), 1);
        basics::Sha256 head;
        int known = rebuild::spool_head_hash(&head);
        rebuild::spool_release();
        std::fclose(f);
        rebuild::spool_remove_all();
        EXPECT_EQ(known, row.known ? 1 : 0);
        std::string file = read_file(temp);
        // and the file is the one the same copies give into a file written from zero
        std::string fresh(file_size, '\0');
        std::copy(image.begin() + long(H), image.begin() + long(H + 32), fresh.begin());
        for (uint64_t c = chunk_at; c + chunk_stride < E - H; c += chunk_stride) {
            uint64_t from = row.chunk_from_elsewhere && c == chunk_at ? H + c + 1 : H + c;
            uint64_t length = row.keep_a_box && c == chunk_at ? chunk_bytes + box_gap + 8 : chunk_bytes;
            std::copy(image.begin() + long(from), image.begin() + long(from + length), fresh.begin() + long(c));
        }
        EXPECT_TRUE(file == fresh);
        basics::Sha256 whole;
        basics::sha256_begin(&whole);
        basics::sha256_add(&whole, reinterpret_cast<const uint8_t*>(file.data()), file.size());
        if (known) {
            ASSERT_LE(head.length, file.size());
            basics::sha256_add(&head, reinterpret_cast<const uint8_t*>(file.data()) + head.length,
                               size_t(file.size() - head.length));
            EXPECT_EQ(hex_of(&head), hex_of(&whole));
        }
    }
}

}  // namespace
