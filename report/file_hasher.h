#pragma once
// Written files hashed on a thread of their own, in the order they are handed over, while the run
// goes on with the next recording: the system still holds the file's bytes in memory, and the
// hashing runs beside the reading of the card instead of after it. A file of which only a few bytes
// follow the head hashed before (a spooled recording's movie box) is hashed as it is handed over,
// and so is every file when no thread can be started.
#include <cstdint>

#include "basics/sha256.h"

namespace report {

struct FileHasher;

FileHasher* file_hasher_start();
// Hands over the file at `path` (with `head`, the hash of its first head->length bytes, as for
// hash_file); gives its ticket, never 0.
uint32_t file_hasher_add(FileHasher* h, const char* path, const basics::Sha256* head);
// Waits for the file of `ticket`: 1 with its SHA-256 and size; 0 when it could not be read, and
// for ticket 0 or no hasher.
int file_hasher_result(FileHasher* h, uint32_t ticket, char hex[basics::sha256_hex_size], uint64_t* size);
// Waits for every file handed over, then ends the thread.
void file_hasher_stop(FileHasher* h);

}  // namespace report
