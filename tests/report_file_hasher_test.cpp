#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis_fixture.h"
#include "basics/sha256.h"
#include "report/file_hasher.h"

namespace {

using fixture::TempDir;
using fixture::write_file;

std::string sha256_of(const std::vector<uint8_t>& bytes, size_t from, basics::Sha256* h)
{
    basics::sha256_add(h, bytes.data() + from, bytes.size() - from);
    uint8_t digest[basics::sha256_digest_bytes];
    basics::sha256_end(h, digest);
    char hex[basics::sha256_hex_size];
    basics::sha256_hex(digest, hex);
    return hex;
}

// Files handed over one after another while the thread hashes, asked for in the other order: each
// answer is its own file's, whole or from a head hash, and a file that is not there has none. A
// few bytes behind a head are hashed at once, the rest on the thread; the tickets run on as one.
TEST(FileHasher, EveryTicketGetsItsOwnFilesHash)
{
    struct Row {
        size_t size;
        size_t head;  // bytes hashed before handing over; SIZE_MAX: none
        bool exists;
    };
    const Row rows[] = {{0, SIZE_MAX, true},        {1, SIZE_MAX, true},     {(3 << 20) + 17, SIZE_MAX, true},
                        {(3 << 20) + 17, 1 << 20, true}, {4096, 4096, true}, {100, SIZE_MAX, false},
                        {(1 << 20) - 1, 64, true}, {100, 10, false},  {70000, 5000, true},
                        {70000, 4000, true}};
    TempDir dir;
    report::FileHasher* h = report::file_hasher_start();
    ASSERT_NE(h, nullptr);
    std::vector<uint32_t> tickets;
    std::vector<std::string> want;
    for (size_t i = 0; i < std::size(rows); i++) {
        const Row& r = rows[i];
        std::vector<uint8_t> bytes(r.size);
        for (size_t k = 0; k < r.size; k++)
            bytes[k] = uint8_t(k * 7 + i);
        std::string path = (dir.path / std::to_string(i)).string();
        if (r.exists)
            write_file(path, bytes);
        basics::Sha256 head;
        basics::sha256_begin(&head);
        if (r.head != SIZE_MAX)
            basics::sha256_add(&head, bytes.data(), r.head);
        basics::Sha256 whole = head;
        want.push_back(r.exists ? sha256_of(bytes, r.head == SIZE_MAX ? 0 : r.head, &whole) : "");
        tickets.push_back(report::file_hasher_add(h, path.c_str(), r.head == SIZE_MAX ? nullptr : &head));
        EXPECT_EQ(tickets.back(), i + 1);
    }
    for (size_t i = std::size(rows); i-- > 0;) {
        char hex[basics::sha256_hex_size] = {};
        uint64_t size = 0;
        int ok = report::file_hasher_result(h, tickets[i], hex, &size);
        EXPECT_EQ(ok, rows[i].exists ? 1 : 0) << "row " << i;
        if (ok) {
            EXPECT_EQ(std::string(hex), want[i]) << "row " << i;
            EXPECT_EQ(size, rows[i].size) << "row " << i;
        }
    }
    char hex[basics::sha256_hex_size];
    uint64_t size = 0;
    EXPECT_EQ(report::file_hasher_result(h, 0, hex, &size), 0) << "ticket 0 is no file";
    EXPECT_EQ(report::file_hasher_result(h, uint32_t(std::size(rows) + 1), hex, &size), 0);
    report::file_hasher_stop(h);
}

}  // namespace
