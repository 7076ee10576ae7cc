// Writing a file back from its extent: the folders made one by one, the bytes copied run by run
// into a ".partial" file sized first (so a full disk shows before any copying), then the rename to
// a name no file holds yet, and the entry's times.
#include "camera/camera_output.h"

#include <cerrno>
#include <cstring>

#include "basics/output.h"
#include "image/path_join.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "rebuild/image_copy.h"
#include "rebuild/output_file.h"
#include "rebuild/progress_line.h"

namespace camera {

const char* const clip_folder[] = {"PRIVATE", "M4ROOT", "CLIP", nullptr};
const char* const thumbnail_folder[] = {"PRIVATE", "M4ROOT", "THMBNL", nullptr};

namespace {

constexpr int max_suffix = 9999;

// The camera's folders under the destination, made as far as they are missing.
int make_folders(const char* destination, const char* const* folder, char* out, size_t cap, char* failed)
{
    basics::bounded_format(out, cap, "%s", destination);
    for (const char* const* name = folder; *name; name++) {
        char next[output_path_capacity];
        image::path_join(next, sizeof next, out, *name);
        basics::bounded_format(out, cap, "%s", next);
    }
    return image::make_folder_path(out, failed, output_path_capacity);
}

platform::FileTime file_time(const filesystem::FsTime* t)
{
    platform::FileTime f = {};
    if (t->valid) {
        f.set = 1;
        f.seconds = filesystem::fs_time_unix(t);
        f.centiseconds = t->centiseconds;
    }
    return f;
}

}  // namespace

int free_path(const char* folder, const char* name, char* out, size_t cap)
{
    image::path_join(out, cap, folder, name);
    const char* dot = std::strrchr(name, '.');
    size_t stem = dot && dot != name ? size_t(dot - name) : std::strlen(name);
    for (int n = 2; platform::path_exists(out); n++) {
        if (n > max_suffix)
            return 0;
        char other[output_path_capacity];
        basics::bounded_format(other, sizeof other, "%.*s_%d%s", int(stem), name, n, name + stem);
        image::path_join(out, cap, folder, other);
    }
    return 1;
}

int write_extent_file(std::FILE* image, const filesystem::FsVolume* v, const filesystem::Extent* e,
                      const char* destination, const char* const* folder, const char* name,
                      const filesystem::FileEntry* entry, int clip_number, char* path)
{
    char dir[output_path_capacity], failed[output_path_capacity];
    if (!make_folders(destination, folder, dir, sizeof dir, failed)) {
        rebuild::clip_error(clip_number, "cannot create folder %s: %s", failed, platform::errno_text(errno));
        return 0;
    }
    if (!free_path(dir, name, path, output_path_capacity)) {
        rebuild::clip_error(clip_number, "no free name for %s in %s", name, dir);
        return 0;
    }
    char temp[rebuild::temp_path_size];
    rebuild::temp_path_for(path, temp, sizeof temp);
    std::FILE* out = rebuild::create_sized_output(temp, e->length, clip_number);
    if (!out)
        return 0;
    uint64_t done = 0;
    while (done < e->length) {
        uint64_t at = 0, span = 0;
        if (!filesystem::extent_image_offset(v, e, done, &at, &span) ||
            rebuild::copy_image_range(image, at, out, done, span) != span)
            break;
        done += span;
    }
    int flushed = done == e->length && std::fflush(out) == 0;
    int closed = std::fclose(out) == 0;
    if (!flushed || !closed) {
        rebuild::clip_error(clip_number, "copy of the camera's file failed");
        platform::remove_file(temp);
        return 0;
    }
    if (!platform::rename_file(temp, path)) {
        rebuild::clip_error(clip_number, "rename failed: %s", platform::errno_text(errno));
        platform::remove_file(temp);
        return 0;
    }
    platform::FileTime created = file_time(&entry->created), modified = file_time(&entry->modified),
                       accessed = file_time(&entry->accessed);
    platform::set_file_times(path, &created, &modified, &accessed);
    return 1;
}

}  // namespace camera
