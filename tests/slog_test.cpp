#include "utils/slog.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rtsp_log.h"
#include "testkit/child_process.h"

namespace {

using testkit::readText;

class SLogTest : public ::testing::Test {
protected:
    void SetUp() override { SLog::setEnable(true); }
    void TearDown() override {
        SLog::setEnable(true);
        setRtspLogLevel(RtspLogLevel::Warning);
        setRtspLogSink(nullptr);
        SLog::logStm.close();
    }
    // A fresh log file, and the console switched off.
    void fileOnly() {
        SLog::createNewLog();
        ASSERT_TRUE(SLog::logStm.is_open()) << "cannot open " << SLog::logPath();
        SLog::setEnable(false);
    }
};

TEST_F(SLogTest, LineFormsCarryLevelFunctionFileAndLine) {
    setRtspLogLevel(RtspLogLevel::Debug);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    SLOGD("value %d\n", 7);
    int line = __LINE__ + 1;
    SLOGW("careful %s\n", "now");
    SLOGE("broken\n");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(out, "") << "standard output is the application's";
    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        err,
        testing::internal::RE("\\[[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\] D/: value 7\n")))
        << err;
    std::string expectW = "] W/: (TestBody in slog_test.cpp:" + std::to_string(line) + "): careful now\n";
    EXPECT_NE(err.find(expectW), std::string::npos) << err;
    EXPECT_NE(err.find("] E/: (TestBody in slog_test.cpp:" + std::to_string(line + 1) + "): broken\n"),
              std::string::npos)
        << err;
}

TEST_F(SLogTest, DebugIsOffByDefaultAndTheSinkTakesEachLineAtOrAboveTheLevelInsteadOfTheConsole) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    SLOGD("hidden\n");
    std::vector<std::pair<RtspLogLevel, std::string>> got;
    setRtspLogSink([&](RtspLogLevel level, const std::string& line) { got.emplace_back(level, line); });
    SLOGD("still hidden\n");
    const int line = __LINE__ + 1;
    SLOGW("w %d\n", 1);
    setRtspLogLevel(RtspLogLevel::Error);
    SLOGW("below\n");
    SLOGE("e\n");
    setRtspLogLevel(RtspLogLevel::Debug);
    SLOGD("d\n");
    setRtspLogSink(nullptr);
    SLOGE("console\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("hidden"), std::string::npos) << err;
    EXPECT_EQ(err.find("w 1"), std::string::npos) << err;
    EXPECT_NE(err.find("console"), std::string::npos) << err;
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].first, RtspLogLevel::Warning);
    EXPECT_EQ(got[0].second.substr(got[0].second.find("] ")),
              "] W/: (TestBody in slog_test.cpp:" + std::to_string(line) + "): w 1\n");
    EXPECT_EQ(got[1].first, RtspLogLevel::Error);
    EXPECT_EQ(got[1].second.substr(got[1].second.size() - 5), "): e\n");
    EXPECT_EQ(got[2].first, RtspLogLevel::Debug);
    EXPECT_EQ(got[2].second.substr(got[2].second.find("] ")), "] D/: d\n");
}

TEST_F(SLogTest, WarningsReachTheFileEvenWithConsoleOffButDebugNever) {
    fileOnly();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    SLOGW("to the file only\n");
    SLOGD("nowhere at all\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string file = readText(SLog::logPath());
    EXPECT_NE(file.find("W/: (TestBody in slog_test.cpp:"), std::string::npos) << file;
    EXPECT_EQ(file.find("nowhere"), std::string::npos);
}

TEST_F(SLogTest, FileCopyIsCutAt1023Characters) {
    fileOnly();
    std::string longText(3000, 'x');
    SLog::print_log(stderr, "%s", longText.c_str());
    EXPECT_EQ(readText(SLog::logPath()), std::string(1023, 'x'));
}

TEST_F(SLogTest, SaveLastLogKeepsThePreviousRun) {
    fileOnly();
    SLog::print_log(stderr, "first run\n");
    SLog::logStm.close();
    EXPECT_EQ(SLog::saveLastLog(), 0);
    EXPECT_EQ(readText(SLog::lastLogPath()), "first run\n");
    // Nothing left to rename now; and without an open file nothing is written.
    EXPECT_EQ(SLog::saveLastLog(), -1);
    SLog::print_log(stderr, "lost\n");
    EXPECT_EQ(readText(SLog::logPath()), "");
}

TEST_F(SLogTest, DumpDataRowsPadTheLastRowAndShowOnlyBytesFrom0x20To0x7eAsCharacters) {
    // Bytes at and above 0x80 are negative if read as a signed char: no sign extension, no letter.
    unsigned char bytes[22] = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x4b,
                               0x4c, 0x4d, 0x4e, 0x4f, 0x50, 0x80, 0xff, 0x7e, 0x7f, 0x20, 0x1f};
    const std::string firstRow = "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 \tABCDEFGHIJKLMNOP\n";
    const std::pair<unsigned long, std::string> cases[] = {
        {22, firstRow + "80 ff 7e 7f 20 1f " + std::string(10 * 3, ' ') + "\t..~. .\n\n"},
        {16, firstRow + "\n"},  // no padding
        {0, "\n"},
    };
    setRtspLogLevel(RtspLogLevel::Debug);
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        SLog::dumpData(c.first ? bytes : nullptr, c.first);
        std::string out = testing::internal::GetCapturedStderr();
        EXPECT_NE(out.find("D/: dump data: \n"), std::string::npos) << out;
        EXPECT_EQ(out.substr(out.find('\n') + 1), c.second);  // after the time-stamped header line
    }
}

}  // namespace
