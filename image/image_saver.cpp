#include "image/image_saver.h"

#include <cerrno>
#include <cstring>

#include "basics/output.h"
#include "image/card_reader.h"
#include "image/mapfile.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace image {

namespace {

constexpr size_t saver_path_capacity = 2100;

struct Saver {
    std::FILE* file;
    uint64_t image_size;
    UnreadableMap saved;  // the stretches the file holds, as one list of stretches
    int stopped;
    char path[saver_path_capacity];
    char map_path[saver_path_capacity + 8];
};

Saver saver = {};

void keep(void*, uint64_t offset, const uint8_t* bytes, size_t n)
{
    if (!saver.file || saver.stopped || map_unknown_bytes(&saver.saved, offset, n) == n)
        return;
    // a buffered write fails only when it is flushed: flushed here, its failure is this one's
    errno = 0;
    if (!platform::seek_abs(saver.file, offset) || std::fwrite(bytes, 1, n, saver.file) != n ||
        std::fflush(saver.file) != 0) {
        saver.stopped = 1;
        basics::out_printf("save-image: cannot write %s (%s); the image is saved no further, the recovery goes on\n",
                           saver.path, platform::errno_text(errno ? errno : EIO));
        return;
    }
    map_mark(&saver.saved, offset, n, status_rescued, cause_read_error);
}

}  // namespace

int image_saver_begin(const char* path, uint64_t image_size, char* why, size_t why_cap)
{
    saver = Saver{};
    basics::bounded_format(saver.path, sizeof saver.path, "%s", path);
    basics::bounded_format(saver.map_path, sizeof saver.map_path, "%s.map", path);
    const char* existing = platform::path_exists(saver.path) ? saver.path
                           : platform::path_exists(saver.map_path) ? saver.map_path
                                                                   : nullptr;
    if (existing) {
        basics::bounded_format(why, why_cap, "%s already exists; the saved image never replaces a file", existing);
        return 0;
    }
    saver.file = platform::open_stream(saver.path, "wb");
    if (!saver.file) {
        basics::bounded_format(why, why_cap, "cannot create %s: %s", saver.path, platform::errno_text(errno));
        return 0;
    }
    saver.image_size = image_size;
    card_keep_reads(keep, nullptr);
    return 1;
}

int image_saver_active() { return saver.file != nullptr; }

void image_saver_end(int finished, const char* version)
{
    if (!saver.file)
        return;
    card_keep_reads(nullptr, nullptr);
    // the image is as long as the card, whatever its last bytes were
    int sized = saver.stopped || platform::set_file_size(saver.file, saver.image_size);
    int closed = std::fclose(saver.file) == 0;
    saver.file = nullptr;
    if (!saver.stopped && !(sized && closed)) {
        saver.stopped = 1;
        basics::out_printf("save-image: cannot finish %s (%s); the image is not whole\n", saver.path,
                           platform::errno_text(errno ? errno : EIO));
    }
    std::FILE* map = platform::create_write(saver.map_path);
    int mapped = map && write_mapfile(map, saver.image_size, &saver.saved, card_map(), finished && !saver.stopped,
                                      version);
    mapped = map && std::fclose(map) == 0 && mapped;
    uint64_t kept = map_unknown_bytes(&saver.saved, 0, saver.image_size);
    if (mapped)
        basics::out_printf("  image saved: %s (%llu of %llu bytes read), mapfile %s\n", saver.path,
                           static_cast<unsigned long long>(kept), static_cast<unsigned long long>(saver.image_size),
                           saver.map_path);
    else {
        // half a mapfile would tell ddrescue that what it lacks was never there
        int err = errno ? errno : EIO;
        platform::remove_file(saver.map_path);
        basics::out_printf("save-image: cannot write the mapfile %s (%s)\n", saver.map_path, platform::errno_text(err));
    }
    map_free(&saver.saved);
}

}  // namespace image
