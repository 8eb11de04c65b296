#include "utils/slog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SLogTest : public ::testing::Test {
protected:
    void SetUp() override { SLog::setEnable(true); }
    void TearDown() override {
        SLog::setEnable(true);
        SLog::logStm.close();
    }
};

TEST_F(SLogTest, LineFormsCarryLevelFunctionFileAndLine) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    SLOGD("value %d\n", 7);
    int line = __LINE__ + 1;
    SLOGW("careful %s\n", "now");
    SLOGE("broken\n");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        out,
        testing::internal::RE("^\\[[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\] D/: value 7\n$")))
        << out;
    std::string expectW = "] W/: (TestBody in slog_test.cpp:" + std::to_string(line) + "): careful now\n";
    EXPECT_NE(err.find(expectW), std::string::npos) << err;
    EXPECT_NE(err.find("] E/: (TestBody in slog_test.cpp:" + std::to_string(line + 1) + "): broken\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(out.find("W/"), std::string::npos);
}

TEST_F(SLogTest, WarningsReachTheFileEvenWithConsoleOffButDebugNever) {
    SLog::createNewLog();
    ASSERT_TRUE(SLog::logStm.is_open()) << "cannot open " << SLog::logPath();
    SLog::setEnable(false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    SLOGW("to the file only\n");
    SLOGD("nowhere at all\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string file = readFile(SLog::logPath());
    EXPECT_NE(file.find("W/: (TestBody in slog_test.cpp:"), std::string::npos) << file;
    EXPECT_NE(file.find("to the file only\n"), std::string::npos);
    EXPECT_EQ(file.find("nowhere"), std::string::npos);
}

TEST_F(SLogTest, FileCopyIsCutAt1023Characters) {
    SLog::createNewLog();
    ASSERT_TRUE(SLog::logStm.is_open());
    SLog::setEnable(false);
    std::string longText(3000, 'x');
    SLog::print_log(stderr, "%s", longText.c_str());
    EXPECT_EQ(readFile(SLog::logPath()), std::string(1023, 'x'));
}

TEST_F(SLogTest, SaveLastLogKeepsThePreviousRun) {
    SLog::createNewLog();
    ASSERT_TRUE(SLog::logStm.is_open());
    SLog::setEnable(false);
    SLog::print_log(stderr, "first run\n");
    SLog::logStm.close();
    EXPECT_EQ(SLog::saveLastLog(), 0);
    EXPECT_EQ(readFile(SLog::lastLogPath()), "first run\n");
    // Nothing left to rename now.
    EXPECT_EQ(SLog::saveLastLog(), -1);
}

TEST_F(SLogTest, WithoutAnOpenFileNothingIsWritten) {
    SLog::createNewLog();
    SLog::logStm.close();
    SLog::setEnable(false);
    SLog::print_log(stderr, "lost\n");
    EXPECT_EQ(readFile(SLog::logPath()), "");
}

std::string dump(const unsigned char* data, unsigned long len) {
    testing::internal::CaptureStdout();
    SLog::dumpData(data, len);
    std::string out = testing::internal::GetCapturedStdout();
    // Drop the time-stamped header line.
    size_t eol = out.find('\n');
    EXPECT_NE(out.find("D/: dump data: \n"), std::string::npos) << out;
    return out.substr(eol + 1);
}

TEST_F(SLogTest, DumpDataRowsPadTheLastRowAndShowPrintableBytes) {
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(0x41 + i);
    bytes[19] = 0xff;  // non-printable, and negative if read as a signed char
    std::string expect =
        "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 \tABCDEFGHIJKLMNOP\n"
        "51 52 53 ff " +
        std::string(12 * 3, ' ') + "\tQRS.\n\n";
    EXPECT_EQ(dump(bytes, sizeof(bytes)), expect);
}

TEST_F(SLogTest, DumpDataOfOneFullRowHasNoPadding) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(dump(bytes, 16), "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \t................\n\n");
}

TEST_F(SLogTest, DumpDataOfNothingPrintsOnlyANewline) {
    EXPECT_EQ(dump(nullptr, 0), "\n");
}

}  // namespace
