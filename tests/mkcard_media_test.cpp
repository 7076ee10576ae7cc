// The card generator's own building blocks: Annex-B splitting into camera samples, the decoder
// configuration records, the calendar and the scrubbing of random bytes.
#include "tools/mkcard_media.h"
#include "tools/mkcard_recording.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

using mkcard::Bytes;

namespace {

Bytes hex(const std::string& s)
{
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += s[i] == ' ' ? 1 : 2)
        if (s[i] != ' ')
            b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return b;
}

struct SplitRow {
    const char* name;
    bool hevc;
    const char* stream;
    int ok;
    std::vector<const char*> samples;
    const char* config;
};

TEST(MkcardSplit, AnnexBBecomesLengthPrefixedSamples)
{
    const SplitRow rows[] = {
        {"each delimiter opens a sample and parameter sets stay in band", false,
         "00000001 0910 00000001 674d001eaa 00000001 68ce 00000001 658884 00000001 0930 000001 419a", 1,
         {"00000002 0910 00000005 674d001eaa 00000002 68ce 00000003 658884", "00000002 0930 00000002 419a"},
         "01 4d 00 1e ff e1 0005 674d001eaa 01 0002 68ce"},
        {"zeros before a 4-byte start code end the unit before it", false,
         "00000001 0910 00000001 674d001eaa 00000001 68ce 00000001 65888400 00000001 0930 00000001 419a", 1,
         {"00000002 0910 00000005 674d001eaa 00000002 68ce 00000003 658884", "00000002 0930 00000002 419a"},
         "01 4d 00 1e ff e1 0005 674d001eaa 01 0002 68ce"},
        {"a unit before the first delimiter is refused", false, "00000001 674d001eaa 00000001 0910 00000001 68ce",
         0, {}, ""},
        {"a stream without a picture parameter set is refused", false, "00000001 0910 00000001 674d001eaa", 0, {},
         ""},
        {"HEVC profile bytes are read from the unescaped parameter set", true,
         "00000001 460150 00000001 40010c 00000001 420101 0160000003009000000300000300 5d 00000001 4401c0 "
         "00000001 2601af",
         1, {"00000003 460150 00000003 40010c 00000012 4201010160000003009000000300000300 5d 00000003 4401c0 "
             "00000003 2601af"},
         "01 01600000009000000000005d f000 fc fd f8 f8 0000 0f 03 a0 0001 0003 40010c "
         "a1 0001 0012 4201010160000003009000000300000300 5d a2 0001 0003 4401c0"},
    };
    for (const SplitRow& row : rows) {
        mkcard::VideoStream v;
        int ok = mkcard::split_annex_b(hex(row.stream), row.hevc, &v);
        ASSERT_EQ(ok, row.ok) << row.name;
        if (!ok)
            continue;
        ASSERT_EQ(v.samples.size(), row.samples.size()) << row.name;
        for (size_t i = 0; i < row.samples.size(); i++)
            EXPECT_EQ(v.samples[i], hex(row.samples[i])) << row.name << ", sample " << i;
        EXPECT_EQ(v.config, hex(row.config)) << row.name;
    }
}

TEST(MkcardCalendar, DaysBecomeDates)
{
    struct Row {
        const char* name;
        int64_t days;
        int year;
        unsigned month, day;
    } rows[] = {
        {"the epoch", 0, 1970, 1, 1},
        {"the day before the epoch", -1, 1969, 12, 31},
        {"a leap day", 19782, 2024, 2, 29},
        {"the leap day of a 400th year", 11016, 2000, 2, 29},
        {"no leap day in a 100th year", 47541, 2100, 3, 1},
        {"before 1970 across a 100th year", -25508, 1900, 3, 1},
    };
    for (const Row& row : rows) {
        int y = 0;
        unsigned m = 0, d = 0;
        mkcard::civil_from_days(row.days, &y, &m, &d);
        EXPECT_EQ(std::make_tuple(y, m, d), std::make_tuple(row.year, row.month, row.day)) << row.name;
    }
}

TEST(MkcardScrub, RandomBytesLoseEverySignature)
{
    struct Row {
        const char* name;
        std::string bytes;
        bool changed;
    } rows[] = {
        {"a kkad type", std::string("xxkkadxx"), true},
        {"a movie box type at the very end", std::string("abcdmoov"), true},
        {"a clip header type", std::string("ftypXAVC"), true},
        {"an AVC delimiter sample start", std::string("\0\0\0\x02\x09zz", 7), true},
        {"an HEVC delimiter sample start", std::string("\0\0\0\x03\x46\x01", 6), true},
        {"plain bytes", std::string("kkaXmoo\0\0\0\x02\x08", 12), false},
    };
    for (const Row& row : rows) {
        Bytes b(row.bytes.begin(), row.bytes.end());
        mkcard::scrub_signatures(b.data(), b.size());
        std::string after(b.begin(), b.end());
        EXPECT_EQ(after != row.bytes, row.changed) << row.name;
        for (const char* sig : {"kkad", "moov", "ftyp"})
            EXPECT_EQ(after.find(sig), std::string::npos) << row.name;
        EXPECT_EQ(after.find(std::string("\0\0\0\x02\x09", 5)), std::string::npos) << row.name;
    }
}

} // namespace
