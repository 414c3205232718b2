// The settings reader: how lines, quotes, keys and numbers are read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/settings.hpp"

namespace {

// A settings file with the given text, open for reading.
struct SettingsFile {
    explicit SettingsFile(const std::string& text) : file(std::tmpfile())
    {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fflush(file);
    }
    ~SettingsFile() { std::fclose(file); }
    std::string text(const char* key)
    {
        const char* copy = settings_get_string(file, key);
        std::string value = copy;
        std::free(const_cast<char*>(copy));
        return value;
    }
    std::uint32_t number(const char* key) { return settings_get_uint(file, key); }
    std::FILE* file;
};

TEST(Settings, BareQuotedAndLowerCaseKeysAgree)
{
    SettingsFile f("MOD_KORVANE_PORT=502\n"
                   "MOD_KORVANE_TIMEOUT=\"1500\"\n"
                   "mod_korvane_split=\"3\"\n"
                   "MOD_KORVANE_ADDR=\"plc.local\"\n"
                   "MOD_KORVANE_DEVICE=ttyS1\n");
    EXPECT_EQ(f.number("MOD_KORVANE_PORT"), 502u);
    EXPECT_EQ(f.number("MOD_KORVANE_TIMEOUT"), 1500u);
    EXPECT_EQ(f.number("MOD_KORVANE_SPLIT"), 3u);
    EXPECT_EQ(f.text("MOD_KORVANE_ADDR"), "plc.local");
    EXPECT_EQ(f.text("MOD_KORVANE_DEVICE"), "ttyS1");
}

TEST(Settings, CrLfAndCrInsideALine)
{
    SettingsFile f("MOD_KORVANE_PORT=502\r\n"
                   "MOD_KORVANE_ADDR=\"10.0.0.1\"\r\n"
                   "MOD_KORVANE_DEVICE=ttyS0\rjunk\n");
    EXPECT_EQ(f.number("MOD_KORVANE_PORT"), 502u);
    EXPECT_EQ(f.text("MOD_KORVANE_ADDR"), "10.0.0.1");
    EXPECT_EQ(f.text("MOD_KORVANE_DEVICE"), "ttyS0");
}

TEST(Settings, QuotesAreCutAtTheLastOne)
{
    SettingsFile f("A=\"value\" # a remark\n"
                   "B=ab\"cd\"ef\n"
                   "C= \"7\"\n"
                   "D=\"open\n"
                   "E=\"\"\n"
                   "F=\n"
                   "G=x=y\n");
    EXPECT_EQ(f.text("A"), "value");
    // Unquoted with quotes inside: cut at the last quote, nothing skipped.
    EXPECT_EQ(f.text("B"), "ab\"cd");
    // A blank before the opening quote stays, with the quote.
    EXPECT_EQ(f.text("C"), " \"7");
    EXPECT_EQ(f.number("C"), 0u);
    // An opening quote without a closing one is the last quote: nothing left.
    EXPECT_EQ(f.text("D"), "");
    EXPECT_EQ(f.text("E"), "");
    EXPECT_EQ(f.number("E"), 0u);
    EXPECT_EQ(f.text("F"), "");
    EXPECT_EQ(f.number("F"), 0u);
    // Only the first "=" splits key from value.
    EXPECT_EQ(f.text("G"), "x=y");
}

TEST(Settings, KeysAreComparedWhole)
{
    SettingsFile f(" MOD_KORVANE_PORT=1\n"
                   "MOD_KORVANE_PORT =2\n"
                   "MOD_KORVANE_USE_SLAVE_ID=1\n"
                   "MOD_KORVANE_TIMEOUT=100\n"
                   "MOD_KORVANE_TIMEOUT=200\n"
                   "no equals sign here\n");
    EXPECT_EQ(f.number("MOD_KORVANE_PORT"), 0u);
    EXPECT_EQ(settings_lookup(f.file, "MOD_KORVANE_PORT"), nullptr);
    EXPECT_EQ(settings_lookup(f.file, "MOD_KORVANE_SLAVE_ID"), nullptr);
    EXPECT_EQ(f.number("MOD_KORVANE_USE_SLAVE_ID"), 1u);
    // The first matching line wins, even after other lookups moved on.
    EXPECT_EQ(f.number("MOD_KORVANE_TIMEOUT"), 100u);
    EXPECT_EQ(f.text("MISSING"), "");
    EXPECT_EQ(f.number("MISSING"), 0u);
}

TEST(Settings, NumbersAreReadAsScanfReadsThemOn32Bits)
{
    struct Case {
        const char* text;
        std::uint32_t value;
    } cases[] = {
        {"0", 0u},
        {"42", 42u},
        {"-1", 4294967295u},
        {"-2", 4294967294u},
        {"+7", 7u},
        {"12abc", 12u},
        {"  \t 9", 9u},
        {"0x10", 0u},
        {"abc", 0u},
        {"- 5", 0u},
        {"4294967295", 4294967295u},
        {"4294967296", 4294967295u},
        {"99999999999", 4294967295u},
        {"-99999999999", 4294967295u},
        {"-4294967295", 1u},
        {"000000000000000000000012", 12u},
    };
    for (const auto& c : cases) {
        SettingsFile f(std::string("N=") + c.text + "\n");
        EXPECT_EQ(f.number("N"), c.value) << c.text;
    }
    std::uint32_t value = 77;
    EXPECT_EQ(parse_u32("", value), 0);
    EXPECT_EQ(parse_u32("+", value), 0);
    EXPECT_EQ(value, 77u);
}

TEST(Settings, LongLinesAreReadInPieces)
{
    // 16383 characters fill the line buffer; the rest of the line is read as
    // a line of its own, which here looks like a setting.
    std::string line(16383 - 4, 'x');
    line = "PAD=" + line + "MOD_KORVANE_PORT=503\n";
    SettingsFile f(line + "MOD_KORVANE_PORT=504\n");
    EXPECT_EQ(f.number("MOD_KORVANE_PORT"), 503u);
    EXPECT_EQ(f.text("PAD").size(), 16383u - 4u);
}

TEST(Settings, NoFileGivesNothing)
{
    EXPECT_EQ(settings_lookup(nullptr, "MOD_KORVANE_PORT"), nullptr);
    const char* text = settings_get_string(nullptr, "MOD_KORVANE_ADDR");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    std::free(const_cast<char*>(text));
    EXPECT_EQ(settings_get_uint(nullptr, "MOD_KORVANE_PORT"), 0u);

    SettingsFile empty("");
    EXPECT_EQ(empty.text("MOD_KORVANE_DEVICE"), "");
}

} // namespace
