#pragma once
// mendora-report.html: one self-contained page (inline style, inline SVG, pictures as data:
// URIs, no script, nothing fetched) that answers what was on the card and what came back.
#include "report/report_facts.h"
#include "report/text_out.h"

namespace report {

void write_report_html(Text* t, const ReportFacts* facts);

}  // namespace report
