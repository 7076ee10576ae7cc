#pragma once
// The two report files written into a folder, each under a temporary name first.
#include "basics/report_texts.h"
#include "report/report_facts.h"

namespace report {

constexpr const char* report_html_name = basics::report_page_name;
constexpr const char* report_json_name = basics::report_data_name;

// Writes mendora-report.html and mendora-report.json into `folder`; 1 when both are in place.
int write_report_files(const char* folder, const ReportFacts* facts);

// SHA-256 (lower-case hex) and size of a whole file; 0 when it cannot be read. With `head`, the
// hash of the file's first head->length bytes: only the bytes after them are read.
int hash_file(const char* path, char hex[basics::sha256_hex_size], uint64_t* size,
              const basics::Sha256* head = nullptr);
// The same for a file of which at most `most` bytes follow the head; -1 (nothing read) for a
// longer one.
int hash_file_within(const char* path, char hex[basics::sha256_hex_size], uint64_t* size, const basics::Sha256* head,
                     uint64_t most);

}  // namespace report
