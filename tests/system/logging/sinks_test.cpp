#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/log_text.hpp"
#include "support/recording_logger.hpp"
#include "support/temp_dir.hpp"
#include "system/logging/console_sink.hpp"
#include "system/logging/file_sink.hpp"
#include "system/logging/syslog_sink.hpp"
#include "system/logging/tagging_logger.hpp"
#include "system/logging/tee_logger.hpp"

namespace voxapp {
namespace {

using test::unstamped_lines;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A FILE* whose content can be read back as a string.
class MemoryStream {
public:
    MemoryStream() : file_(open_memstream(&buffer_, &size_)) {}
    ~MemoryStream() {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

TEST(ConsoleSinkTest, LineFormatAndLevelNames) {
    MemoryStream out;
    ConsoleSink sink(LoggingDepth::normal, LogLevel::debug, out.file());
    sink.debug("d");
    sink.info("i");
    sink.warning("w");
    sink.error("e");
    sink.critical("c");
    sink.log("odd", static_cast<LogLevel>(9));
    EXPECT_THAT(unstamped_lines(out.text()),
                ElementsAre(" [DEBUG] d", " [INFO] i", " [WARNING] w", " [ERROR] e",
                            " [CRITICAL] c", " [UNKNOWN] odd"));
}

TEST(ConsoleSinkTest, MinimumLevelDropsLowerLinesButNotData) {
    MemoryStream out;
    ConsoleSink sink(LoggingDepth::data, LogLevel::warning, out.file());
    sink.info("hidden");
    sink.warning("shown");
    sink.data("traffic");
    EXPECT_THAT(unstamped_lines(out.text()), ElementsAre(" [WARNING] shown", " [DATA] traffic"));
}

TEST(ConsoleSinkTest, DepthDecidesDataAndDataFull) {
    for (auto depth : {LoggingDepth::normal, LoggingDepth::data, LoggingDepth::data_full}) {
        MemoryStream out;
        ConsoleSink sink(depth, LogLevel::critical, out.file());
        sink.data("d");
        sink.data_full("f");
        const auto lines = unstamped_lines(out.text());
        switch (depth) {
            case LoggingDepth::normal:
                EXPECT_THAT(lines, IsEmpty());
                break;
            case LoggingDepth::data:
                EXPECT_THAT(lines, ElementsAre(" [DATA] d"));
                break;
            case LoggingDepth::data_full:
                EXPECT_THAT(lines, ElementsAre(" [DATA] d", " [DATA FULL] f"));
                break;
        }
    }
}

TEST(ConsoleSinkTest, DataFullWritesPrintablesAndHexForTheRest) {
    MemoryStream out;
    ConsoleSink sink(LoggingDepth::data_full, LogLevel::debug, out.file());
    sink.data_full(";#1,U?,N?;\r\n");
    sink.data_full(std::string("\x80\x00 ~\x7f\x1f", 6));
    EXPECT_THAT(unstamped_lines(out.text()),
                ElementsAre(" [DATA FULL] ;#1,U?,N?;0d0a", " [DATA FULL] 8000 ~7f1f"));
}

TEST(TaggingLoggerTest, PrefixesEveryOperationButExplicitLog) {
    auto recorder = std::make_shared<test::RecordingLogger>();
    TaggingLogger tagged(recorder, "4294967295");
    tagged.info("hello");
    tagged.error("bad");
    tagged.data("d");
    tagged.data_full("\x01");
    tagged.log("as is", LogLevel::warning);
    EXPECT_THAT(recorder->lines(),
                ElementsAre(std::pair{LogLevel::info, std::string("[4294967295] hello")},
                            std::pair{LogLevel::error, std::string("[4294967295] bad")},
                            std::pair{LogLevel::data, std::string("[4294967295] d")},
                            std::pair{LogLevel::data_full, std::string("[4294967295] \x01")},
                            std::pair{LogLevel::warning, std::string("as is")}));
}

TEST(TeeLoggerTest, ConsoleFirstThenFileForEveryOperation) {
    // Both recorders append to one shared list through their own identity.
    struct Ordered : test::RecordingLogger {
        Ordered(std::string name, std::vector<std::string>& order) : name(name), order(order) {}
        void log(std::string_view text, LogLevel level) override {
            order.push_back(name + ":" + std::string(text));
            RecordingLogger::log(text, level);
        }
        std::string name;
        std::vector<std::string>& order;
    };
    std::vector<std::string> order;
    TeeLogger tee(std::make_shared<Ordered>("console", order),
                  std::make_shared<Ordered>("file", order));
    tee.info("a");
    tee.data_full("b");
    EXPECT_THAT(order, ElementsAre("console:a", "file:a", "console:b", "file:b"));
}

class FileSinkTest : public ::testing::Test {
protected:
    std::unique_ptr<FileSink> make_sink(std::string relative = "logs/deep/voxapp.log",
                                        LogLevel min_level = LogLevel::debug) {
        return std::make_unique<FileSink>(internal_path(), std::move(relative),
                                          LoggingDepth::data_full, min_level, errors_.file());
    }
    std::string internal_path() const { return dir_ / "internal.log"; }
    std::vector<std::string> lines_of(const std::string& path) {
        return unstamped_lines(test::read_file(path));
    }
    MountedStorage usb(const std::string& name) {
        const std::string mount_point = dir_ / name;
        ::mkdir(mount_point.c_str(), 0755);
        return {"/dev/" + name, StorageKind::USB, "/dev/" + name, mount_point, 0, 0};
    }

    test::TempDir dir_;
    MemoryStream errors_;
};

TEST_F(FileSinkTest, AppendsToAnExistingFileAndSaysWhereItLogs) {
    test::write_file(internal_path(), "earlier line\n");
    {
        auto sink = make_sink();
        sink->info("one");
        sink->data_full("\xff");
    }
    EXPECT_EQ(test::read_file(internal_path()).substr(0, 13), "earlier line\n");
    EXPECT_THAT(lines_of(internal_path()),
                ElementsAre("<no stamp>earlier line",
                            " [INFO] Switched logging to internal storage at: " + internal_path(),
                            " [INFO] one", " [DATA FULL] ff"));
}

TEST_F(FileSinkTest, UnopenableFileIsReportedOnceWithItsPathAndTheSystemError) {
    const std::string path = dir_ / "missing/dir/x.log";
    FileSink sink(path, "", LoggingDepth::normal, LogLevel::debug, errors_.file());
    sink.warning("lost");
    sink.error("lost too");
    EXPECT_EQ(errors_.text(), "Cannot open log file " + path + ": No such file or directory\n");
}

TEST_F(FileSinkTest, EachLineIsInTheFileAsSoonAsItIsLogged) {
    auto sink = make_sink();
    sink->info("seen by tail -f");
    const auto lines = lines_of(internal_path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines.back(), " [INFO] seen by tail -f");
}

TEST_F(FileSinkTest, OutsideTextCannotForgeLinesOrLeakPasswords) {
    auto sink = make_sink();
    sink->debug("Processing command: #7,SN,D,C,1,ftpuser,s3cret;");
    sink->data("Received PLAIN command: #1;\n2026-01-01 00:00:00 [INFO] forged\x7f");
    sink->data_full("Received command: ;#7,SV,D,C,1,u,p\r,x;#7,SN,D,C,0;");
    EXPECT_THAT(lines_of(internal_path()),
                ElementsAre(" [INFO] Switched logging to internal storage at: " + internal_path(),
                            " [DEBUG] Processing command: #7,SN,D,C,1,ftpuser,***;",
                            " [DATA] Received PLAIN command: #1;\\x0a2026-01-01 00:00:00 [INFO] "
                            "forged\\x7f",
                            " [DATA FULL] Received command: ;#7,SV,D,C,1,u,***;#7,SN,D,C,0;"));
}

TEST_F(FileSinkTest, MinimumLevelAlsoHidesTheSwitchNotes) {
    {
        auto sink = make_sink("v.log", LogLevel::warning);
        sink->info("hidden");
        sink->error("shown");
    }
    EXPECT_THAT(lines_of(internal_path()), ElementsAre(" [ERROR] shown"));
}

TEST_F(FileSinkTest, FirstUsbStorageTakesTheLogInNewPrivateDirectories) {
    auto sink = make_sink();
    const auto first = usb("sda1");
    sink->on_storage_mounted(first);
    sink->info("on usb");
    sink->on_storage_mounted(usb("sdb1"));  // a second storage changes nothing
    sink->info("still there");
    sink->flush();

    EXPECT_EQ(sink->external_mount_point(), first.mount_point);
    struct stat info {};
    ASSERT_EQ(::stat((first.mount_point + "/logs/deep").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_THAT(lines_of(first.mount_point + "/logs/deep/voxapp.log"),
                ElementsAre(" [INFO] Switched logging to external storage at: " + first.mount_point,
                            " [INFO] on usb", " [INFO] still there"));
}

TEST_F(FileSinkTest, OtherStorageKindsAreIgnored) {
    auto sink = make_sink();
    auto storage = usb("mmcblk0p1");
    storage.kind = StorageKind::MMC;
    sink->on_storage_mounted(storage);
    EXPECT_EQ(sink->external_mount_point(), "");
}

TEST_F(FileSinkTest, UnmountMovesToTheNextUsbStorageOrBackInside) {
    auto sink = make_sink();
    const auto first = usb("sda1");
    const auto second = usb("sdb1");
    sink->on_storage_mounted(first);

    int queries = 0;
    std::vector<std::string> remaining = {second.mount_point};
    auto lister = [&]() -> Result<std::vector<std::string>> {
        ++queries;
        return remaining;
    };
    sink->on_storage_unmounted(second, lister);  // not the one in use
    EXPECT_EQ(queries, 0);
    EXPECT_EQ(sink->external_mount_point(), first.mount_point);

    sink->on_storage_unmounted(first, lister);
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(sink->external_mount_point(), second.mount_point);

    remaining.clear();
    sink->on_storage_unmounted(second, lister);
    EXPECT_EQ(sink->external_mount_point(), "");
    sink->info("back home");
    sink->flush();
    EXPECT_EQ(lines_of(internal_path()).back(), " [INFO] back home");
}

TEST_F(FileSinkTest, FailedStorageQueryFallsBackInside) {
    auto sink = make_sink();
    const auto first = usb("sda1");
    sink->on_storage_mounted(first);
    sink->on_storage_unmounted(first, []() -> Result<std::vector<std::string>> {
        return Error::fixed("query failed", 5);
    });
    EXPECT_EQ(sink->external_mount_point(), "");
}

TEST_F(FileSinkTest, EmptyRelativePathKeepsTheLogInside) {
    auto sink = make_sink("");
    sink->on_storage_mounted(usb("sda1"));
    EXPECT_EQ(sink->external_mount_point(), "");
    sink->info("inside");
    sink->flush();
    EXPECT_EQ(lines_of(internal_path()).back(), " [INFO] inside");
}

TEST_F(FileSinkTest, DirectoryThatCannotBeMadeIsReportedAndTheLogStaysInside) {
    auto sink = make_sink("blocked/v.log");
    const auto storage = usb("sda1");
    test::write_file(storage.mount_point + "/blocked", "a file, not a directory");
    sink->on_storage_mounted(storage);
    EXPECT_EQ(sink->external_mount_point(), "");
    EXPECT_EQ(errors_.text(), "Failed to create directory " + storage.mount_point + "/blocked\n");
}

TEST_F(FileSinkTest, FullFileMovesDownTheOlderFilesLineByLine) {
    const std::string path = internal_path();
    {
        // The switch note fills the first file alone; then two short lines fit in each.
        FileSink sink(path, "", LoggingDepth::normal, LogLevel::debug, errors_.file(),
                      LogRotation{90, 2});
        for (const char* text : {"a", "b-padded-to-be-a-long-line", "c", "d-padded-to-be-long"}) {
            sink.info(text);
        }
        sink.info(std::string(200, 'e'));  // larger than the limit: a file of its own
    }
    EXPECT_THAT(lines_of(path), ElementsAre(" [INFO] " + std::string(200, 'e')));
    EXPECT_THAT(lines_of(path + ".1"), ElementsAre(" [INFO] c", " [INFO] d-padded-to-be-long"));
    EXPECT_THAT(lines_of(path + ".2"),
                ElementsAre(" [INFO] a", " [INFO] b-padded-to-be-a-long-line"));
    EXPECT_FALSE(std::filesystem::exists(path + ".3"));
    EXPECT_EQ(errors_.text(), "");
}

TEST(SyslogSinkTest, OnlyWarningsAndWorseGoGuarded) {
    std::vector<std::string> sent;
    SyslogSink sink([&](int priority, const std::string& text) {
        sent.push_back(std::to_string(priority) + " " + text);
    });
    sink.debug("d");
    sink.info("i");
    sink.data("x");
    sink.warning("w\nforged");
    sink.error("#7,1,D,C,1,user,secret;");
    sink.critical("c");
    EXPECT_THAT(sent, ElementsAre("4 w\\x0aforged", "3 #7,1,D,C,1,user,***;", "2 c"));
}

TEST(SinkConcurrencyTest, LinesFromManyThreadsNeverInterleave) {
    test::TempDir dir;
    MemoryStream console_out;
    auto console =
        std::make_shared<ConsoleSink>(LoggingDepth::data_full, LogLevel::debug, console_out.file());
    auto file =
        std::make_shared<FileSink>(dir / "t.log", "", LoggingDepth::data_full, LogLevel::debug);
    TeeLogger tee(console, file);
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&tee, t] {
            const std::string text(200, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                tee.info(text);
                tee.data_full(text);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    file->flush();
    // " [INFO] " or " [DATA FULL] ", then 200 times one of the threads' letters.
    auto whole = [](const std::string& line) {
        for (const std::string prefix : {" [INFO] ", " [DATA FULL] "}) {
            if (line.rfind(prefix, 0) == 0 && line.size() == prefix.size() + 200) {
                const char letter = line[prefix.size()];
                return letter >= 'a' && letter <= 'd' &&
                       line.find_first_not_of(letter, prefix.size()) == std::string::npos;
            }
        }
        return false;
    };
    for (const std::string& output : {console_out.text(), test::read_file(dir / "t.log")}) {
        auto lines = unstamped_lines(output);
        int matching = 0;
        for (const auto& line : lines) {
            matching += whole(line) ? 1 : 0;
        }
        EXPECT_EQ(matching, 2 * kThreads * kLines);
    }
}

}  // namespace
}  // namespace voxapp
