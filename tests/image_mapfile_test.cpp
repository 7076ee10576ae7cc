// ddrescue mapfiles as ddrescue writes them and as people break them: each row is a mapfile,
// the image size it is given for, and either the stretches it leaves unknown or the line the
// run names as wrong. A mapfile we write is read back to the same stretches.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/mapfile.h"

namespace {

struct Stretch {
    uint64_t offset, length;
    char status;
    bool operator==(const Stretch& o) const { return offset == o.offset && length == o.length && status == o.status; }
};

struct Row {
    const char* name;
    std::string text;
    uint64_t image_size;
    uint32_t bad_line;  // 0: accepted
    std::vector<Stretch> unread;
};

std::vector<Stretch> unread_of(const image::UnreadableMap& map)
{
    std::vector<Stretch> out;
    for (size_t i = 0; i < map.pieces.count; i++)
        out.push_back({map.pieces.items[i].offset, map.pieces.items[i].length, map.pieces.items[i].status});
    return out;
}

const char* const header = "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n";

TEST(Mapfile, ReadAsDdrescueWritesIt)
{
    const Row rows[] = {
        {"all rescued", "0x00000000     +               1\n0x00000000  0x00100000  +\n", 0x100000, 0, {}},
        {"every status not rescued is unknown",
         "0x00000000 ? 1\n0x0 0x1000 +\n0x1000 0x200 -\n0x1200 0x1E00 /\n0x3000 0x1000 *\n0x4000 0xC000 ?\n",
         0x10000, 0, {{0x1000, 0x200, '-'}, {0x1200, 0x1E00, '/'}, {0x3000, 0x1000, '*'}, {0x4000, 0xC000, '?'}}},
        {"decimal numbers and no pass", "0 +\n0 4096 +\n4096 512 -\n4608 3584 +\n", 8192, 0, {{4096, 512, '-'}}},
        {"an unrescued tail past the image's end", "0 +\n0x0 0x2000 +\n0x2000 0x2000 -\n", 0x3000, 0,
         {{0x2000, 0x1000, '-'}}},
        {"no status line", "0x0 0x1000 +\n", 0x1000, 1, {}},
        {"a block with an unknown status", "0x0 +\n0x0 0x1000 x\n", 0x1000, 2, {}},
        {"a gap between blocks", "0x0 +\n0x0 0x1000 +\n0x1200 0x100 -\n", 0x1300, 3, {}},
        {"a first block after 0", "0x0 +\n0x200 0x1000 +\n", 0x1200, 2, {}},
        {"a block of no bytes", "0x0 +\n0x0 0x0 +\n", 0x1000, 2, {}},
        {"a number that overflows", "0x0 +\n0x0 0x1FFFFFFFFFFFFFFFFF +\n", 0x1000, 2, {}},
        {"too short for the image", "0x0 +\n0x0 0x1000 +\n", 0x2000, 2, {}},
        {"rescued bytes past the image's end", "0x0 +\n0x0 0x3000 +\n", 0x2000, 2, {}},
        {"a binary file", std::string("\x7f" "ELF\0\0\0", 7), 0x1000, 1, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string text = std::string(header) + row.text;
        image::Mapfile map;
        uint32_t line = 0;
        char why[200] = "";
        int ok = image::parse_mapfile(text.data(), text.size(), &map, &line, why, sizeof why) &&
                 image::mapfile_fits(&map, row.image_size, &line, why, sizeof why);
        if (row.bad_line) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(line, row.bad_line + 2) << why;  // the two comment lines come first
            EXPECT_NE(why[0], 0);
            image::free_mapfile(&map);
            continue;
        }
        ASSERT_TRUE(ok) << why;
        image::UnreadableMap unread;
        image::mapfile_unread(&map, row.image_size, &unread);
        EXPECT_EQ(unread_of(unread), row.unread);

        // written again with a rescued part, it reads back to the same stretches
        image::UnreadableMap saved;
        image::map_mark(&saved, 0, row.image_size, image::status_rescued, 0);
        for (size_t i = 0; i < unread.pieces.count; i++)
            image::map_mark(&saved, unread.pieces.items[i].offset, unread.pieces.items[i].length, 'x', 0);
        image::UnreadableMap rescued;
        for (size_t i = 0; i < saved.pieces.count; i++)
            if (saved.pieces.items[i].status == image::status_rescued)
                image::map_mark(&rescued, saved.pieces.items[i].offset, saved.pieces.items[i].length,
                                image::status_rescued, 0);
        std::FILE* f = std::tmpfile();
        ASSERT_TRUE(image::write_mapfile(f, row.image_size, &rescued, &unread, 1, "test"));
        std::string back(size_t(std::ftell(f)), 0);
        std::rewind(f);
        ASSERT_EQ(std::fread(back.data(), 1, back.size(), f), back.size());
        std::fclose(f);
        image::Mapfile again;
        ASSERT_TRUE(image::parse_mapfile(back.data(), back.size(), &again, &line, why, sizeof why)) << why << back;
        ASSERT_TRUE(image::mapfile_fits(&again, row.image_size, &line, why, sizeof why)) << why;
        image::UnreadableMap unread_again;
        image::mapfile_unread(&again, row.image_size, &unread_again);
        EXPECT_EQ(unread_of(unread_again), row.unread) << back;
        for (image::UnreadableMap* m : {&unread, &saved, &rescued, &unread_again})
            image::map_free(m);
        image::free_mapfile(&map);
        image::free_mapfile(&again);
    }
}

}  // namespace
