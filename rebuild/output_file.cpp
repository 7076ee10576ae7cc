#include "rebuild/output_file.h"

#include <cerrno>

#include "basics/output.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "rebuild/progress_line.h"

namespace rebuild {

void temp_path_for(const char* final_path, char* out, size_t cap)
{
    basics::bounded_format(out, cap, "%s.partial", final_path);
}

void discard_output(std::FILE** out, const char* temp_path)
{
    if (!*out)
        return;
    std::fclose(*out);
    *out = nullptr;
    platform::remove_file(temp_path);
}

std::FILE* create_sized_output(const char* temp_path, uint64_t size, int clip_number)
{
    std::FILE* out = platform::create_read_write(temp_path);
    if (!out) {
        int err = errno;
        clip_error(clip_number, "cannot create %s: %s", temp_path, platform::errno_text(err));
        return nullptr;
    }
    if (!platform::set_file_size(out, size)) {
        clip_error(clip_number, "cannot resize output");
        std::fclose(out);
        platform::remove_file(temp_path);
        return nullptr;
    }
    return out;
}

int finish_output(std::FILE* out, uint64_t at, const uint8_t* moov, uint64_t moov_length, const char* temp_path,
                  const char* final_path, int clip_number)
{
    // the tail of the movie box may sit in the stream's buffer until the flush or the close
    int written = platform::seek_abs(out, at) &&
                  std::fwrite(moov, 1, static_cast<size_t>(moov_length), out) == moov_length &&
                  std::fflush(out) == 0;
    int closed = std::fclose(out) == 0;
    if (!written || !closed) {
        clip_error(clip_number, "moov write failed");
        platform::remove_file(temp_path);
        return 0;
    }
    platform::remove_file(final_path);
    if (!platform::rename_file(temp_path, final_path)) {
        int err = errno;
        clip_error(clip_number, "rename failed: %s", platform::errno_text(err));
        platform::remove_file(temp_path);
        return 0;
    }
    return 1;
}

}  // namespace rebuild
