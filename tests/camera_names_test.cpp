// Names from the card made safe for a path, and the sidecar documents taken as well-formed.
#include <gtest/gtest.h>

#include <string>

#include "camera/extent_check.h"
#include "camera/safe_name.h"

namespace {

struct NameRow {
    std::u16string name;
    const char* safe;
    int changed;
};

TEST(SafeName, EveryNameStaysOneComponentInsideTheFolder)
{
    const NameRow rows[] = {
        {u"C0001.MP4", "C0001.MP4", 0},
        {u"Été à Zürich – Ωμέγα ß.MP4", "Été à Zürich – Ωμέγα ß.MP4", 0},
        {u"a/b\\c:d*e?f\"g<h>i|j.MP4", "a_b_c_d_e_f_g_h_i_j.MP4", 1},
        {u"..", "__", 1},
        {u".", "_", 1},
        {u"../../etc/passwd", ".._.._etc_passwd", 1},
        {u"end. ", "end__", 1},
        {u"\x01" u"ctl\x7F.MP4", "_ctl_.MP4", 1},
        {u"con.mp4", "_con.mp4", 1},
        {u"LPT9", "_LPT9", 1},
        {u"COM10.MP4", "COM10.MP4", 0},
        {u"CONSOLE.MP4", "CONSOLE.MP4", 0},
        {std::u16string(u"x") + char16_t(0xD800) + u".MP4", "x_.MP4", 1},       // a lone high surrogate
        {std::u16string(u"x") + char16_t(0xDC00) + u".MP4", "x_.MP4", 1},       // a lone low surrogate
        {std::u16string(u"x") + char16_t(0xD83D) + char16_t(0xDE00), "x\xF0\x9F\x98\x80", 0},  // a pair
        {u"", "_", 1},
    };
    for (const NameRow& row : rows) {
        char out[1024];
        int changed = camera::safe_name(reinterpret_cast<const uint16_t*>(row.name.data()), row.name.size(), out,
                                        sizeof out);
        EXPECT_STREQ(out, row.safe);
        EXPECT_EQ(changed, row.changed) << row.safe;
    }
}

TEST(SidecarXml, OnlyWellFormedDocumentsPass)
{
    const struct {
        const char* text;
        int ok;
    } rows[] = {
        {"<?xml version=\"1.0\"?>\n<a x=\"1\"><b/><c>t</c><!-- <d> --></a>\n", 1},
        {"<a><b></a></b>", 0},
        {"<a><b></a>", 0},
        {"<a/><b/>", 0},
        {"text<a/>", 0},
        {"<a></a>trailing", 0},
        {"<a><!-- unclosed </a>", 0},
        {"<a", 0},
        {"<></>", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(camera::xml_well_formed(reinterpret_cast<const uint8_t*>(row.text), std::string(row.text).size()),
                  row.ok)
            << row.text;
}

}  // namespace
