#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/log_tail.h"

namespace {

std::string pane_text(const std::string& log)
{
    std::vector<char> normalised(2 * log.size() + 2);
    size_t n = gui::normalise_log(log.data(), log.size(), normalised.data());
    std::vector<char> out(gui::activity_text_capacity(n));
    size_t m = gui::activity_text(normalised.data(), n, out.data());
    EXPECT_LT(m, out.size());
    return std::string(out.data(), m);
}

TEST(LogTail, ReadsAtMostTheLastTwoMebibytes)
{
    struct {
        int64_t size;
        int readable;
        uint64_t start;
        size_t length;
    } rows[] = {
        {-1, 0, 0, 0}, {0, 0, 0, 0}, {1, 1, 0, 1}, {2097152, 1, 0, 2097152}, {2097153, 1, 1, 2097152},
        {int64_t(1) << 40, 1, (uint64_t(1) << 40) - 2097152, 2097152},
    };
    for (const auto& r : rows) {
        uint64_t start = 99;
        size_t length = 99;
        EXPECT_EQ(gui::log_tail_window(r.size, &start, &length), r.readable) << r.size;
        if (r.readable) {
            EXPECT_EQ(start, r.start) << r.size;
            EXPECT_EQ(length, r.length) << r.size;
        }
    }
}

TEST(ActivityText, NewestLineFirstOneLinePerRewrite)
{
    struct {
        const char* name;
        std::string log;
        std::string pane;
    } rows[] = {
        {"line feeds", "a\nb\n", "b\r\na\r\n"},
        {"lone carriage returns split progress rewrites", "scan\r 10%\r 20%", " 20%\r\n 10%\r\nscan\r\n"},
        {"CR LF is one break, blank lines vanish", "a\r\n\r\n\nb\r\n", "b\r\na\r\n"},
        {"tabs and high bytes kept, other control bytes dropped", std::string("a\tb\x01\x7f\xe4\0c\n", 9),
         "a\tb\x7f\xe4" "c\r\n"},
        {"empty log", "", ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(pane_text(r.log), r.pane) << r.name;
}

TEST(ActivityText, LongLogKeepsWholeLinesAfterTheCut)
{
    std::string line(99, 'x');
    std::string log;
    for (int i = 0; i < 400; i++)  // 400 lines of 101 normalised characters
        log += static_cast<char>('0' + i % 10) + line.substr(1) + '\n';
    std::string pane = pane_text(log);
    // 40,400 characters: the cut at 7,632 falls inside line 75, so line 76 is the oldest kept
    EXPECT_EQ(pane.size(), 324u * 101);
    EXPECT_EQ(pane.substr(0, 2), "9x");
    EXPECT_EQ(pane.substr(pane.size() - 101, 2), "6x");

    std::string one_long_line(40000, 'y');
    one_long_line += '\n';
    EXPECT_EQ(pane_text(one_long_line), "") << "no line feed after the cut keeps nothing";
}

TEST(ActivityScroll, TopStaysAtTopScrolledPaneKeepsItsLines)
{
    struct {
        const char* name;
        int32_t first_before, count_before, count_after, first_now;
        gui::ActivityScroll expected;
    } rows[] = {
        {"at the top", 0, 10, 14, 0, {1, 0}},
        {"second line counts as the top", 1, 10, 14, 3, {1, -3}},
        {"scrolled down follows new lines", 5, 10, 14, 0, {0, 9}},
        {"scrolled down, text shrank", 5, 10, 8, 5, {0, 0}},
        {"already where it belongs", 5, 10, 14, 9, {0, 0}},
    };
    for (const auto& r : rows) {
        gui::ActivityScroll s = gui::activity_scroll(r.first_before, r.count_before, r.count_after, r.first_now);
        EXPECT_EQ(s.caret_to_start, r.expected.caret_to_start) << r.name;
        EXPECT_EQ(s.lines, r.expected.lines) << r.name;
    }
}

}  // namespace
