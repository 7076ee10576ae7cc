#pragma once
// Texts of the engine's output that the window reads back from the log: written once here so
// the engine that prints them and the parser that looks for them cannot drift apart.

namespace basics {

// The salvage block's first line, a line of its own after a blank one.
inline constexpr char salvage_heading[] = "\nSalvage: ";
// Between the clip number and the path of a salvaged file.
inline constexpr char salvaged_arrow[] = ": salvaged -> ";
// The recovery report's page and data, beside the recovered files; the window opens the page.
inline constexpr char report_page_name[] = "mendora-report.html";
inline constexpr char report_data_name[] = "mendora-report.json";

// The file-system pass's closing line, a line of its own: the camera's files written, and how many
// of them are recordings outside the recoverable clips (the window counts those beside them).
inline constexpr char camera_files_closing[] = "\nCamera files: ";
inline constexpr char camera_files_beyond[] = " written, %zu of them beyond the recoverable clips\n";

}  // namespace basics
