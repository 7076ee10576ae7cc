#include "tools/mkcard_bytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace mkcard {

void scrub_signatures(uint8_t* p, size_t n)
{
    static const char* const types[] = {"kkad", "moov", "ftyp", "mdat"};
    for (size_t i = 0; i + 4 <= n; i++) {
        for (const char* t : types)
            if (std::memcmp(p + i, t, 4) == 0)
                p[i] ^= 0x20;
        // a 4-byte length of 2 or 3 followed by an access unit delimiter header
        if (i + 5 <= n && p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0 && (p[i + 3] == 2 || p[i + 3] == 3) &&
            (p[i + 4] == 0x09 || p[i + 4] == 0x46))
            p[i + 3] = 0x80;
    }
}

void read_at(int fd, uint64_t at, uint8_t* p, uint64_t n)
{
    for (uint64_t done = 0; done < n;) {
        ssize_t got = pread(fd, p + done, n - done, off_t(at + done));
        if (got <= 0)
            die("cannot read the formatted volume");
        done += uint64_t(got);
    }
}

void write_at(int fd, uint64_t at, const uint8_t* p, uint64_t n)
{
    for (uint64_t done = 0; done < n;) {
        ssize_t put = pwrite(fd, p + done, n - done, off_t(at + done));
        if (put <= 0)
            die("cannot write the volume");
        done += uint64_t(put);
    }
}

int read_file(const std::string& path, Bytes* out)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    Bytes b;
    uint8_t buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        b.insert(b.end(), buf, buf + got);
    std::fclose(f);
    *out = std::move(b);
    return 1;
}

int write_file(const std::string& path, const uint8_t* p, size_t n)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    size_t put = n ? std::fwrite(p, 1, n, f) : 0;
    int ok = std::fclose(f) == 0 && put == n;
    return ok;
}

int run_command(const std::string& cmd)
{
    int rc = std::system(cmd.c_str());
    return rc == 0;
}

void die(const std::string& message)
{
    std::fprintf(stderr, "mendora-mkcard: %s\n", message.c_str());
    std::exit(1);
}

} // namespace mkcard
