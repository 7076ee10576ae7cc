#include <gtest/gtest.h>

#include <string>

#include "report/text_out.h"

namespace {

std::string html(const char* s)
{
    report::Text t;
    report::html_escape(&t, s);
    std::string out(t.data ? t.data : "");
    report::text_free(&t);
    return out;
}

std::string json(const char* s)
{
    report::Text t;
    report::json_string(&t, s);
    std::string out(t.data);
    report::text_free(&t);
    return out;
}

// Names come from the card and the command line: markup in them must stay text.
TEST(ReportText, HtmlEscapesMarkupAndKeepsOtherScripts)
{
    struct Case {
        const char* name;
        const char* input;
        const char* expected;
    } cases[] = {
        {"angle brackets", "<script>x</script>", "&lt;script&gt;x&lt;/script&gt;"},
        {"ampersand before an entity name", "a&amp;b", "a&amp;amp;b"},
        {"both quotes in an attribute value", "\"it's\"", "&quot;it&#39;s&quot;"},
        {"Polish letters pass as UTF-8", "Nagrania \xc5\x82\xc3\xb3\x64\xc5\xba", "Nagrania \xc5\x82\xc3\xb3\x64\xc5\xba"},
        {"empty", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(html(c.input), c.expected) << c.name;
}

TEST(ReportText, JsonStringsAlwaysParse)
{
    struct Case {
        const char* name;
        const char* input;
        const char* expected;
    } cases[] = {
        {"quote and backslash", "C:\\cards\\\"x\"", "\"C:\\\\cards\\\\\\\"x\\\"\""},
        {"control characters as \\u escapes", "a\tb\nc\x01", "\"a\\u0009b\\u000ac\\u0001\""},
        {"well-formed UTF-8 kept", "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x8e\xa5", "\"\xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x8e\xa5\""},
        {"a Latin-1 byte is no character", "caf\xe9", "\"caf\\ufffd\""},
        {"a sequence cut by the end of the text", "x\xe6\x97", "\"x\\ufffd\\ufffd\""},
        {"an overlong slash", "\xc0\xaf", "\"\\ufffd\\ufffd\""},
        {"a surrogate written as UTF-8", "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        {"markup needs no escape in JSON", "<a&b>", "\"<a&b>\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(json(c.input), c.expected) << c.name;
}

TEST(ReportText, Base64PadsTheLastGroup)
{
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe\xfd", "//79"}};
    for (const Case& c : cases) {
        report::Text t;
        report::base64(&t, reinterpret_cast<const uint8_t*>(c.input), std::string(c.input).size());
        EXPECT_EQ(std::string(t.data ? t.data : ""), c.expected) << "base64 of \"" << c.input << "\"";
        report::text_free(&t);
    }
}

TEST(ReportText, SizesChangeUnitAtTheirBoundaries)
{
    struct Case {
        uint64_t n;
        const char* expected;
    } cases[] = {{0, "0 bytes"},           {1023, "1023 bytes"},         {1024, "1.0 KiB"},
                 {1048575, "1024.0 KiB"},  {1048576, "1.0 MiB"},         {1073741824ull, "1.00 GiB"},
                 {1ull << 40, "1024.00 GiB"}};
    for (const Case& c : cases) {
        char out[32];
        report::size_text(c.n, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.n << " bytes";
    }
}

}  // namespace
