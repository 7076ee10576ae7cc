// Names from the card made safe for a path, and the sidecar documents taken as well-formed.
#include <gtest/gtest.h>

#include <string>

#include "camera/extent_check.h"
#include "camera/safe_name.h"

namespace {

struct NameRow {
    std::u16string name;
    const char* safe;
    const char* sidecar;  // the clip's metadata document beside it
    int changed;
};

// Every name stays one component inside the folder, never hidden, never without the clip's
// extension, and its sidecars pair with it.
TEST(SafeName, EveryNameIsOneVisibleFileThatStillOpens)
{
    const NameRow rows[] = {
        {u"C0001.MP4", "C0001.MP4", "C0001M01.XML", 0},
        {u"Été à Zürich – Ωμέγα ß.MP4", "Été à Zürich – Ωμέγα ß.MP4", "Été à Zürich – Ωμέγα ßM01.XML", 0},
        {u"holiday.mov", "holiday.mov", "holidayM01.XML", 0},
        {u"a/b\\c:d*e?f\"g<h>i|j.MP4", "a_b_c_d_e_f_g_h_i_j.MP4", "a_b_c_d_e_f_g_h_i_jM01.XML", 1},
        {u"..\\..\\..\\escaped.MP4", "_.._.._.._escaped.MP4", "_.._.._.._escapedM01.XML", 1},
        {u"../../etc/passwd", "_.._.._etc_passwd.MP4", "_.._.._etc_passwdM01.XML", 1},
        {u".hidden.MP4", "_.hidden.MP4", "_.hiddenM01.XML", 1},
        {u"C:0003.MP4.", "C_0003.MP4", "C_0003M01.XML", 1},
        {u"C0006.MP4. ", "C0006.MP4", "C0006M01.XML", 1},
        {u"end. ", "end.MP4", "endM01.XML", 1},
        {u"clip.MP4:x", "clip.MP4_x.MP4", "clip.MP4_xM01.XML", 1},
        {u"..", "_.MP4", "_M01.XML", 1},
        {u".", "_.MP4", "_M01.XML", 1},
        {u"", "_.MP4", "_M01.XML", 1},
        {u"noextension", "noextension.MP4", "noextensionM01.XML", 1},
        {u"\x01" u"ctl\x7F.MP4", "_ctl_.MP4", "_ctl_M01.XML", 1},
        {u"con.mp4", "_con.mp4", "_conM01.XML", 1},
        {u"LPT9", "_LPT9.MP4", "_LPT9M01.XML", 1},
        {u"COM10.MP4", "COM10.MP4", "COM10M01.XML", 0},
        {u"CONSOLE.MP4", "CONSOLE.MP4", "CONSOLEM01.XML", 0},
        {std::u16string(u"x") + char16_t(0xD800) + u".MP4", "x_.MP4", "x_M01.XML", 1},  // a lone high surrogate
        {std::u16string(u"x") + char16_t(0xDC00) + u".MP4", "x_.MP4", "x_M01.XML", 1},  // a lone low surrogate
        {std::u16string(u"x") + char16_t(0xD83D) + char16_t(0xDE00) + u".MP4", "x\xF0\x9F\x98\x80.MP4",
         "x\xF0\x9F\x98\x80M01.XML", 0},  // a pair
    };
    for (const NameRow& row : rows) {
        char out[1024], sidecar[1024];
        int changed = camera::safe_name(reinterpret_cast<const uint16_t*>(row.name.data()), row.name.size(), ".MP4",
                                        out, sizeof out);
        EXPECT_STREQ(out, row.safe);
        EXPECT_EQ(changed, row.changed) << row.safe;
        camera::sidecar_name(out, "M01.XML", sidecar, sizeof sidecar);
        EXPECT_STREQ(sidecar, row.sidecar);
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
        {"<a><b x=\"1\"/><c>t</c>  \n   ", 0},  // its end lost under padding
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
