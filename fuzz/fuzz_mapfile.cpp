// ddrescue mapfiles of any shape: a text the parser takes has blocks that touch from offset 0,
// fits the image it describes, leaves unknown only what it does not mark rescued, and reads back
// the same from the mapfile written for it.
#include <cstdio>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/mapfile.h"

namespace {

std::vector<uint8_t> pieces_of(const image::UnreadableMap& map)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < map.pieces.count; i++) {
        const image::UnreadablePiece& p = map.pieces.items[i];
        for (uint64_t v : {p.offset, p.length})
            for (int b = 0; b < 8; b++)
                out.push_back(uint8_t(v >> (8 * b)));
        out.push_back(uint8_t(p.status));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    image::Mapfile map;
    uint32_t line = 0;
    char why[200];
    if (!image::parse_mapfile(reinterpret_cast<const char*>(data), size, &map, &line, why, sizeof why))
        return 0;
    uint64_t end = 0;
    for (size_t i = 0; i < map.blocks.count; i++) {
        if (map.blocks.items[i].offset != end || map.blocks.items[i].length == 0)
            fuzz::broken("the blocks touch from offset 0 on");
        end += map.blocks.items[i].length;
    }
    // an image as long as the blocks, when it is small enough to describe
    uint64_t image_size = end;
    if (image_size > (uint64_t(1) << 40) || !image::mapfile_fits(&map, image_size, &line, why, sizeof why)) {
        image::free_mapfile(&map);
        return 0;
    }
    image::UnreadableMap unread, rescued;
    image::mapfile_unread(&map, image_size, &unread);
    for (size_t i = 0; i < map.blocks.count; i++)
        if (map.blocks.items[i].status == image::status_rescued)
            image::map_mark(&rescued, map.blocks.items[i].offset, map.blocks.items[i].length, image::status_rescued, 0);
    for (size_t i = 0; i < unread.pieces.count; i++)
        if (unread.pieces.items[i].status == image::status_rescued ||
            unread.pieces.items[i].offset + unread.pieces.items[i].length > image_size)
            fuzz::broken("only what is not rescued, inside the image, is unknown");
    std::FILE* f = std::tmpfile();
    if (!f || !image::write_mapfile(f, image_size, &rescued, &unread, 1, "fuzz"))
        fuzz::broken("the harness writes the mapfile");
    std::vector<char> text(size_t(std::ftell(f)));
    std::rewind(f);
    if (std::fread(text.data(), 1, text.size(), f) != text.size())
        fuzz::broken("the harness reads the mapfile back");
    std::fclose(f);
    image::Mapfile again;
    image::UnreadableMap unread_again;
    if (!image::parse_mapfile(text.data(), text.size(), &again, &line, why, sizeof why) ||
        !image::mapfile_fits(&again, image_size, &line, why, sizeof why))
        fuzz::broken("a mapfile we write reads back");
    image::mapfile_unread(&again, image_size, &unread_again);
    if (pieces_of(unread) != pieces_of(unread_again))
        fuzz::broken("the written mapfile leaves the same bytes unknown");
    for (image::UnreadableMap* m : {&unread, &rescued, &unread_again})
        image::map_free(m);
    image::free_mapfile(&map);
    image::free_mapfile(&again);
    return 0;
}
