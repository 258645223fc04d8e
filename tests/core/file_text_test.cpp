#include "core/file_text.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;

TEST(FileTextTest, ReadsUpToTheLimitAndFailsOnAMissingFile) {
    test::TempDir dir;
    const std::string path = dir.path() + "/text";
    ASSERT_TRUE(write_file_text(path, std::string(5000, 'x') + "end"));
    EXPECT_EQ(read_file_text(path, 1 << 20)->size(), 5003u);
    EXPECT_EQ(*read_file_text(path, 4), "xxxx");
    const auto missing = read_file_text(dir.path() + "/missing", 10);
    const int error = errno;
    EXPECT_FALSE(missing.has_value());
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(write_file_text(dir.path() + "/no/such/folder", "x"));
}

TEST(FileTextTest, LinesDropTheirEndsAndKeepAnUnendedLastLine) {
    EXPECT_THAT(text_lines("a=1\r\n\nb=2\nlast"), ElementsAre("a=1", "", "b=2", "last"));
    EXPECT_THAT(text_lines("one\n"), ElementsAre("one"));
    EXPECT_TRUE(text_lines("").empty());
}

}  // namespace
}  // namespace voxapp
