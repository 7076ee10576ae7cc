// Stage [1/6]: which sector is taken as the exFAT boot sector, and when the run ends.
#include <gtest/gtest.h>


#include "image/exfat_detect.h"
#include "tests/analysis_fixture.h"

namespace {

namespace fs = std::filesystem;
using fixture::file_hash;

constexpr uint64_t MiB = 1024 * 1024;

struct Piece {
    uint64_t offset;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> boot_sector(uint8_t sector_shift, uint8_t cluster_shift, uint32_t cluster_count = 1000,
                                 uint32_t fat_offset = 128, uint32_t heap_offset = 0x8000, size_t length = 512)
{
    std::vector<uint8_t> s(512, 0);
    std::memcpy(&s[0], "\xEB\x76\x90" "EXFAT   ", 11);
    const uint32_t fields[] = {fat_offset, 64, heap_offset, cluster_count, 4};  // from byte 80 on
    for (size_t i = 0; i < 20; i++)
        s[80 + i] = uint8_t(fields[i / 4] >> (8 * (i % 4)));
    s[108] = sector_shift, s[109] = cluster_shift, s[110] = 1, s[510] = 0x55, s[511] = 0xAA;
    s.resize(length);
    return s;
}

// Sparse where nothing is placed, so a 65 MiB image costs almost no disk.
void write_image(const fs::path& path, uint64_t size, const std::vector<Piece>& pieces)
{
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    fs::resize_file(path, size);
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const Piece& p : pieces) {
        f.seekp(static_cast<std::streamoff>(p.offset));
        f.write(reinterpret_cast<const char*>(p.bytes.data()), static_cast<std::streamsize>(p.bytes.size()));
    }
}

image::ImageGeometry detect_file(const fs::path& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    image::ImageGeometry g = image::detect_exfat(f, fs::file_size(path));
    std::fclose(f);
    return g;
}

struct DetectRow {
    const char* name;
    uint64_t size;
    std::vector<Piece> pieces;
    const char* expected_line;  // nullptr: the run ends with the failure message
};

TEST(DetectExfat, AcceptsTheFirstSoundAlignedBootSector)
{
    const std::vector<DetectRow> rows = {
        {"boot sector at offset 0", 64 * 1024, {{0, boot_sector(9, 6)}},
         "  boot=0x0 cluster=32768 bytes heap=0x1000000\n"},
        {"image of exactly one boot sector", 512, {{0, boot_sector(9, 6)}},
         "  boot=0x0 cluster=32768 bytes heap=0x1000000\n"},
        {"sector shift 13 skipped for the backup 12 sectors later", 64 * 1024,
         {{0, boot_sector(13, 6)}, {12 * 512, boot_sector(9, 6)}},
         "  boot=0x1800 cluster=32768 bytes heap=0x1001800\n"},
        {"cluster count 0 skipped for the backup 12 sectors later", 64 * 1024,
         {{0, boot_sector(9, 6, 0)}, {12 * 512, boot_sector(9, 8)}},
         "  boot=0x1800 cluster=131072 bytes heap=0x1001800\n"},
        {"name at a position that is not a multiple of 512 ignored", 64 * 1024,
         {{100, boot_sector(9, 6)}, {2048, boot_sector(9, 7)}},
         "  boot=0x800 cluster=65536 bytes heap=0x1000800\n"},
        {"4096-byte sectors and shift 25 give 2^37-byte clusters", 64 * 1024, {{0, boot_sector(12, 25, 10, 1, 2)}},
         "  boot=0x0 cluster=137438953472 bytes heap=0x2000\n"},
        {"first of two sound sectors wins", 64 * 1024, {{1024, boot_sector(10, 3)}, {4096, boot_sector(9, 6)}},
         "  boot=0x400 cluster=8192 bytes heap=0x2000400\n"},
        {"sector at the last 512 bytes of 64 MiB found", 64 * MiB, {{64 * MiB - 512, boot_sector(9, 0)}},
         "  boot=0x3FFFE00 cluster=512 bytes heap=0x4FFFE00\n"},
        {"last sector of the first MiB", 2 * MiB, {{MiB - 512, boot_sector(9, 6)}},
         "  boot=0xFFE00 cluster=32768 bytes heap=0x10FFE00\n"},
        {"rejected sector in the first MiB, sound one in the second", 3 * MiB,
         {{0, boot_sector(13, 6)}, {MiB + 512, boot_sector(9, 6)}},
         "  boot=0x100200 cluster=32768 bytes heap=0x1100200\n"},
        {"empty image", 0, {}, nullptr},
        {"10-byte image", 10, {{0, boot_sector(9, 6, 1000, 128, 0x8000, 10)}}, nullptr},
        {"511-byte image cuts the boot sector short", 511, {{0, boot_sector(9, 6, 1000, 128, 0x8000, 511)}}, nullptr},
        {"512 zero bytes", 512, {}, nullptr},
        {"name only at an unaligned position", 64 * 1024, {{513, boot_sector(9, 6)}}, nullptr},
        {"FatOffset 0", 64 * 1024, {{0, boot_sector(9, 6, 1000, 0)}}, nullptr},
        {"ClusterHeapOffset 0", 64 * 1024, {{0, boot_sector(9, 6, 1000, 128, 0)}}, nullptr},
        {"sectors-per-cluster shift 26", 64 * 1024, {{0, boot_sector(9, 26)}}, nullptr},
        {"sector shift 8", 64 * 1024, {{0, boot_sector(8, 6)}}, nullptr},
        {"boot sector just beyond the first 64 MiB", 65 * MiB, {{64 * MiB, boot_sector(9, 6)}}, nullptr},
    };
    fixture::TempDir dir;
    for (const DetectRow& row : rows) {
        SCOPED_TRACE(row.name);
        fs::path img = dir.path / "card.img";
        write_image(img, row.size, row.pieces);
        uint64_t before = file_hash(img);
        if (row.expected_line) {
            testing::internal::CaptureStdout();
            detect_file(img);
            EXPECT_EQ(testing::internal::GetCapturedStdout(),
                      std::string("\n[1/6] Detecting exFAT...\n") + row.expected_line);
        } else {
            EXPECT_EXIT(detect_file(img), testing::ExitedWithCode(2),
                        "^ERROR: no valid exFAT boot region found in first 64 MiB\n$");
        }
        EXPECT_EQ(file_hash(img), before);
    }
}

}  // namespace
