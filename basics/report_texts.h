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

}  // namespace basics
