// The card reader on a failing card of its own: a device whose bytes follow from their offset
// and whose bad sectors fail every read that touches them, as a card reader does; like the
// kernel, it delivers whole 128 KiB requests before the one that fails. Each row reads the card
// front to back as the raw scan does; the oracle is the card itself: every byte taken as known
// is the card's, every bad byte is unknown, spans land on their sectors, and the failed reads
// stay within the row's bound.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/card_reader.h"
#include "image/read_at.h"

namespace {

struct Range {
    uint64_t offset, length;
};

struct Device {
    std::vector<Range> bad;
    uint64_t size;
    uint64_t failed;
};

Device device;

uint8_t byte_at(uint64_t at) { return uint8_t((at * 2654435761u) >> 13) | 1; }  // never zero

int is_bad(uint64_t at)
{
    for (const Range& r : device.bad)
        if (at >= r.offset && at < r.offset + r.length)
            return 1;
    return 0;
}

int touches_bad(uint64_t offset, uint64_t n)
{
    for (const Range& r : device.bad)
        if (offset < r.offset + r.length && r.offset < offset + n)
            return 1;
    return 0;
}

int fake_read(std::FILE*, uint64_t offset, void* buf, size_t n, size_t* got, unsigned long* error)
{
    constexpr uint64_t request = 131072;
    auto* out = static_cast<uint8_t*>(buf);
    *got = 0;
    while (*got < n && offset + *got < device.size) {
        uint64_t at = offset + *got;
        uint64_t piece = std::min<uint64_t>({n - *got, request - at % request, device.size - at});
        if (touches_bad(at, piece)) {
            device.failed++;
            *error = 5;
            return 0;
        }
        for (uint64_t i = 0; i < piece; i++)
            out[*got + i] = byte_at(at + i);
        *got += piece;
    }
    return 1;
}

struct Row {
    const char* name;
    uint64_t size;
    std::vector<Range> bad;
    uint64_t most_failed_reads;
    int spans_exact;  // the spans named are the bad ranges widened to whole sectors
};

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;

std::vector<Range> every(uint64_t step, uint64_t length, uint64_t size)
{
    std::vector<Range> out;
    for (uint64_t at = step; at + length < size; at += step)
        out.push_back({at, length});
    return out;
}

uint64_t sector_floor(uint64_t x) { return x - x % image::card_sector_bytes; }
uint64_t sector_ceil(uint64_t x, uint64_t size) { return std::min(size, sector_floor(x + 511)); }

TEST(CardReader, EveryReadableByteIsTheCardsAndEveryBadOneUnknown)
{
    const Row rows[] = {
        {"one bad sector inside a read", 8 * MiB, {{3 * MiB + 4096, 512}}, 6, 1},
        {"4 KiB across two reads", 8 * MiB, {{4 * MiB - 2048, 4096}}, 14, 1},
        {"two spans 8 KiB apart", 8 * MiB, {{MiB, 4096}, {MiB + 12 * KiB, 4096}}, 30, 1},
        {"the first sector", 4 * MiB, {{0, 512}}, 6, 1},
        {"the last, short sector", 4 * MiB + 300, {{4 * MiB, 300}}, 6, 1},
        {"a 64 KiB span", 16 * MiB, {{5 * MiB + 512, 64 * KiB}}, 40, 1},
        {"a dead zone of 256 MiB", 320 * MiB, {{32 * MiB + 4096, 256 * MiB}}, 64, 1},
        {"dead to the end", 64 * MiB, {{40 * MiB, 24 * MiB}}, 64, 1},
        {"a good sector between two bad ones", 4 * MiB, {{MiB, 512}, {MiB + 1024, 512}}, 12, 1},
        {"a bad sector every 100 KiB", 8 * MiB, every(100 * KiB, 512, 8 * MiB), 6 * 82, 1},
        {"unaligned bad bytes", 4 * MiB, {{MiB + 100, 10}}, 6, 1},
    };
    std::FILE* handle = std::tmpfile();
    ASSERT_NE(handle, nullptr);
    image::card_use_device(fake_read);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        device = Device{row.bad, row.size, 0};
        image::card_attach(handle, row.size);
        std::vector<uint8_t> buf(256 * KiB);
        for (uint64_t at = 0; at < row.size; at += buf.size()) {
            uint64_t n = std::min<uint64_t>(buf.size(), row.size - at);
            ASSERT_EQ(image::card_read(handle, at, buf.data(), n, nullptr), n);
            uint64_t unknown_here = image::map_unknown_bytes(image::card_map(), at, n);
            if (unknown_here == n) {  // a dead stretch: zeros only
                for (uint64_t i = 0; i < n; i++)
                    if (buf[i] != 0)
                        FAIL() << "unknown byte " << at + i << " is not zero";
                continue;
            }
            if (unknown_here == 0 && touches_bad(at, n))
                FAIL() << "bad bytes in " << at << "+" << n << " taken as known";
            for (uint64_t i = 0; i < n && unknown_here == 0; i++)
                if (buf[i] != byte_at(at + i))
                    FAIL() << "byte " << at + i << " taken as known but not the card's";
            for (uint64_t i = 0; i < n && unknown_here != 0; i++) {
                int unknown = image::card_touches_unreadable(handle, at + i, 1);
                if (!unknown && buf[i] != byte_at(at + i))
                    FAIL() << "byte " << at + i << " taken as known but not the card's";
                if (is_bad(at + i) && !unknown)
                    FAIL() << "bad byte " << at + i << " taken as known";
                if (unknown && buf[i] != 0)
                    FAIL() << "unknown byte " << at + i << " is not zero";
            }
        }
        EXPECT_LE(device.failed, row.most_failed_reads);
        EXPECT_EQ(image::card_failed_reads(), device.failed) << "the reader counts every failure the card answered";
        image::SpanList spans;
        image::map_spans(image::card_map(), &spans);
        if (row.spans_exact) {
            std::vector<Range> want;
            for (const Range& r : row.bad) {
                uint64_t from = sector_floor(r.offset), to = sector_ceil(r.offset + r.length, row.size);
                if (!want.empty() && want.back().offset + want.back().length == from)
                    want.back().length = to - want.back().offset;
                else
                    want.push_back({from, to - from});
            }
            ASSERT_EQ(spans.count, want.size());
            for (size_t i = 0; i < want.size(); i++) {
                EXPECT_EQ(spans.items[i].offset, want[i].offset) << "span " << i;
                EXPECT_EQ(spans.items[i].length, want[i].length) << "span " << i;
            }
        }
        // a strict read of a stretch that holds an unknown byte fails; one beside it does not
        if (!row.bad.empty()) {
            uint8_t b[16];
            EXPECT_FALSE(image::read_at(handle, row.bad[0].offset, b, 1));
            uint64_t reads_before = device.failed;
            EXPECT_FALSE(image::read_at(handle, row.bad[0].offset, b, 1));
            EXPECT_EQ(device.failed, reads_before) << "a known span is not read again";
        }
        basics::list_free(&spans);
        image::card_detach();
    }
    image::card_use_device(nullptr);
    std::fclose(handle);
}

TEST(CardReader, ReadsOfAFileThatIsNotTheCardRememberNothing)
{
    std::FILE* handle = std::tmpfile();
    std::FILE* other = std::tmpfile();
    image::card_use_device(fake_read);
    device = Device{{{MiB, 512}}, 4 * MiB, 0};
    image::card_attach(handle, 4 * MiB);
    std::vector<uint8_t> buf(2 * MiB);
    uint64_t unknown = 0;
    EXPECT_EQ(image::card_read(other, 0, buf.data(), buf.size(), &unknown), buf.size());
    EXPECT_EQ(unknown, 512u);
    EXPECT_EQ(image::card_map()->pieces.count, 0u);
    EXPECT_FALSE(image::card_touches_unreadable(other, MiB, 1));
    image::card_detach();
    image::card_use_device(nullptr);
    std::fclose(handle);
    std::fclose(other);
}

}  // namespace
