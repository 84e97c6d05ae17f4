#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "input/source_file.h"

namespace fs = std::filesystem;

namespace {

class SourceFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quarnel_source_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    fs::path dir;
};

TEST_F(SourceFile, LoadsTheTextUpToTheFirstNul) {
    using namespace std::string_literals;
    struct Case { std::string bytes, text; };
    const Case cases[] = {
        {"", ""},
        {"int x;\n", "int x;\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},        // nothing folds line ends here
        {"ab\0cd"s, "ab"},                   // NUL ends the text
        {"\0x"s, ""},
        {"\xff\x80 q", "\xff\x80 q"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(zor_source_file(write("f.c", c.bytes)).get_text(), c.text);
}

TEST_F(SourceFile, UnreadablePathsGiveAnEmptyText) {
    EXPECT_EQ(zor_source_file((dir / "missing.c").string()).get_text(), "");
    EXPECT_EQ(zor_source_file(dir.string()).get_text(), "");  // a directory
    EXPECT_EQ(zor_source_file("/dev/null").get_text(), "");
}

}  // namespace
