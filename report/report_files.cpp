#include "report/report_files.h"

#include <cstdlib>

#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/path_join.h"
#include "platform/platform.h"
#include "report/report_html.h"
#include "report/report_json.h"
#include "report/text_out.h"

namespace report {

namespace {

int write_text_file(const char* folder, const char* name, const Text* text)
{
    char path[1400], temp[1450];
    image::path_join(path, sizeof path, folder, name);
    basics::bounded_format(temp, sizeof temp, "%s.partial", path);
    std::FILE* f = platform::open_stream(temp, "wb");
    if (!f)
        return 0;
    size_t wrote = text->length ? std::fwrite(text->data, 1, text->length, f) : 0;
    int closed = std::fclose(f) == 0;
    if (wrote != text->length || !closed) {
        platform::remove_file(temp);
        return 0;
    }
    platform::remove_file(path);
    if (!platform::rename_path(temp, path)) {
        platform::remove_file(temp);
        return 0;
    }
    return 1;
}

}  // namespace

int write_report_files(const char* folder, const ReportFacts* facts)
{
    Text json, html;
    write_report_json(&json, facts);
    write_report_html(&html, facts);
    int ok = write_text_file(folder, report_json_name, &json) && write_text_file(folder, report_html_name, &html);
    text_free(&json);
    text_free(&html);
    return ok;
}

int hash_file_within(const char* path, char hex[basics::sha256_hex_size], uint64_t* size, const basics::Sha256* head,
                     uint64_t most)
{
    std::FILE* f = platform::open_read_only(path);
    if (!f)
        return 0;
    basics::Sha256 h;
    basics::sha256_begin(&h);
    if (head)
        h = *head;
    int64_t end = 0;
    if (most != UINT64_MAX && (!platform::seek_end(f, &end) || end < 0 || uint64_t(end) < h.length ||
                               uint64_t(end) - h.length > most)) {
        std::fclose(f);
        return -1;
    }
    if (!platform::seek_abs(f, h.length)) {
        std::fclose(f);
        return 0;
    }
    // a file's last bytes behind its head fit the stack; a whole file is read in large pieces
    constexpr size_t small = 64 << 10, piece = 1 << 20;
    uint8_t near[small];
    size_t cap = most <= small ? small : piece;
    uint8_t* buf = cap == small ? near : static_cast<uint8_t*>(basics::xmalloc(piece));
    size_t n;
    while ((n = std::fread(buf, 1, cap, f)) > 0)
        basics::sha256_add(&h, buf, n);
    int ok = !std::ferror(f);
    std::fclose(f);
    if (buf != near)
        std::free(buf);
    uint8_t digest[basics::sha256_digest_bytes];
    basics::sha256_end(&h, digest);
    basics::sha256_hex(digest, hex);
    *size = h.length;
    return ok;
}

int hash_file(const char* path, char hex[basics::sha256_hex_size], uint64_t* size, const basics::Sha256* head)
{
    return hash_file_within(path, hex, size, head, UINT64_MAX);
}

}  // namespace report
