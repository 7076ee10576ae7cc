// Box headers read from memory and from the image agree, and every box found lies inside its range.
#include "fuzz/fuzz_support.h"
#include "mp4/box.h"

#include <cstring>

namespace {

void check_agree(std::FILE* image, const uint8_t* data, uint64_t range_end, uint64_t at)
{
    mp4::BoxHeader mem, file;
    int in_mem = mp4::read_box_header_mem(data, range_end, at, &mem);
    int in_file = mp4::read_box_header_file(image, at, range_end, &file);
    if (in_mem != in_file || (in_mem && (mem.size != file.size || mem.header_size != file.header_size ||
                                         std::memcmp(mem.type, file.type, 5) != 0)))
        fuzz::broken("the memory and image box readers agree");
    if (in_mem && (mem.size < mem.header_size || mem.size > range_end - at))
        fuzz::broken("a box read lies inside the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::FILE* image = fuzz::open_image(data, size);
    if (!image)
        return 0;
    // the image reader is given a range that may end before the image does
    uint64_t cut = data[0] % 8;
    uint64_t range_end = cut < size ? size - cut : size;
    for (uint64_t at = 0; at < range_end && at < 64; at++)
        check_agree(image, data, range_end, at);
    std::fclose(image);

    const char* wanted[] = {mp4::box_moov, mp4::box_trak, mp4::box_mdia, mp4::box_stbl, mp4::box_mdat};
    uint64_t begin = data[0] % 16;
    for (const char* type : wanted) {
        mp4::BoxHeader box;
        if (!mp4::find_child_box(data, size, begin, size, type, &box))
            continue;
        if (box.offset < begin || box.size > size - box.offset || !mp4::type_is(box.type, type))
            fuzz::broken("a child box found lies inside its parent");
        char handler[5];
        if (mp4::type_is(type, mp4::box_trak))
            mp4::read_track_handler(data, size, &box, handler);
        // the children of what was found, as the movie box reader walks them
        mp4::BoxHeader inner;
        mp4::find_child_box(data, size, box.offset + box.header_size, box.offset + box.size, mp4::box_hdlr, &inner);
    }
    return 0;
}
