// Trace output: what reaches the debugger output and the trace file.
#include "trace/Trace.h"
#include "tests/support/DebugOutputCapture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFile(const std::string& path)
{
    std::string contents;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return contents;
    }
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        contents.append(chunk, read);
    }
    CloseHandle(file);
    return contents;
}

// Captures the debugger output and restores every trace setting afterwards.
class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_enabled_ = g_bTraceEnabled;
        saved_timestamp_ = g_bTraceTimestamp;
        saved_to_file_ = g_bTraceToFile;
        saved_busy_ = g_bTraceFileBusy;
        memcpy(saved_path_, g_szTraceFilePath, sizeof(saved_path_));

        char cwd[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, cwd);
        log_path_ = std::string(cwd) + "\\trace-test.log";
        DeleteFileA(log_path_.c_str());

        ASSERT_TRUE(capture_.installed());
    }

    void TearDown() override
    {
        DeleteFileA(log_path_.c_str());
        g_bTraceEnabled = saved_enabled_;
        g_bTraceTimestamp = saved_timestamp_;
        g_bTraceToFile = saved_to_file_;
        g_bTraceFileBusy = saved_busy_;
        memcpy(g_szTraceFilePath, saved_path_, sizeof(saved_path_));
    }

    void UseLogFile()
    {
        g_bTraceToFile = 1;
        ASSERT_LT(log_path_.size(), sizeof(g_szTraceFilePath));
        strcpy(g_szTraceFilePath, log_path_.c_str());
    }

    DebugOutputCapture capture_;
    const std::vector<std::string>& captured_ = capture_.lines();
    std::string log_path_;

private:
    int saved_enabled_ = 0;
    int saved_timestamp_ = 0;
    int saved_to_file_ = 0;
    int saved_busy_ = 0;
    char saved_path_[MAX_PATH] = "";
};

int SecondsOfDay(int hour, int minute, int second)
{
    return hour * 3600 + minute * 60 + second;
}

TEST_F(TraceTest, DefaultsSendTheFormattedTextToTheDebuggerOnly)
{
    EXPECT_EQ(g_bTraceEnabled, 1);
    EXPECT_EQ(g_bTraceTimestamp, 0);
    EXPECT_EQ(g_bTraceToFile, 0);
    EXPECT_STREQ(g_szTraceFilePath, "");
    EXPECT_EQ(g_bTraceFileBusy, 0);

    EXPECT_EQ(TraceOut("return %d \r\n", 3), 1);
    ASSERT_EQ(captured_.size(), 1u);
    EXPECT_EQ(captured_[0], "return 3 \r\n");
    EXPECT_FALSE(FileExists(log_path_));
}

TEST_F(TraceTest, TimestampPrefixesTheLocalTimeOfDay)
{
    g_bTraceTimestamp = 1;
    time_t before = time(nullptr);
    EXPECT_EQ(TraceOut("return %d \r\n", 3), 1);
    time_t after = time(nullptr);

    ASSERT_EQ(captured_.size(), 1u);
    const std::string& line = captured_[0];
    ASSERT_EQ(line.size(), 8u + 3u + 11u) << line;
    EXPECT_EQ(line.substr(8), " : return 3 \r\n");
    for (int i : {0, 1, 3, 4, 6, 7}) {
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(line[i]))) << line;
    }
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[5], ':');
    int hour = std::stoi(line.substr(0, 2));
    int minute = std::stoi(line.substr(3, 2));
    int second = std::stoi(line.substr(6, 2));
    EXPECT_LE(hour, 23);
    EXPECT_LE(minute, 59);
    EXPECT_LE(second, 59);

    // The stamp lies between the local times read around the call, allowing
    // for a couple of seconds and for midnight.
    const tm start = *localtime(&before);
    const tm end = *localtime(&after);
    int stamp = SecondsOfDay(hour, minute, second);
    int low = SecondsOfDay(start.tm_hour, start.tm_min, start.tm_sec) - 2;
    int high = SecondsOfDay(end.tm_hour, end.tm_min, end.tm_sec) + 2;
    if (high >= low) {
        EXPECT_TRUE(stamp >= low && stamp <= high) << line;
    } else {
        EXPECT_TRUE(stamp >= low || stamp <= high) << line;
    }
}

TEST_F(TraceTest, DisabledOrNullFormatOutputsNothing)
{
    g_bTraceEnabled = 0;
    UseLogFile();
    EXPECT_EQ(TraceOut("return %d \r\n", 3), 0);
    EXPECT_EQ(TraceOutText("text"), 0);
    EXPECT_TRUE(captured_.empty());
    EXPECT_FALSE(FileExists(log_path_));

    g_bTraceEnabled = 1;
    EXPECT_EQ(TraceOut(nullptr), 0);
    EXPECT_TRUE(captured_.empty());
    EXPECT_FALSE(FileExists(log_path_));
}

TEST_F(TraceTest, FileWithEmptyPathStillReachesTheDebugger)
{
    g_bTraceToFile = 1;
    g_szTraceFilePath[0] = '\0';
    EXPECT_EQ(TraceOut("return %d \r\n", 3), 1);
    ASSERT_EQ(captured_.size(), 1u);
    EXPECT_EQ(captured_[0], "return 3 \r\n");
    EXPECT_FALSE(FileExists(log_path_));
    EXPECT_EQ(g_bTraceFileBusy, 0);
}

TEST_F(TraceTest, FileCollectsTextsWithoutSeparators)
{
    UseLogFile();
    EXPECT_EQ(TraceOut("first %d", 1), 1);
    EXPECT_TRUE(FileExists(log_path_));
    EXPECT_EQ(ReadFile(log_path_), "first 1");
    EXPECT_EQ(TraceOut("%s\r\n", "second"), 1);
    EXPECT_EQ(TraceOutText("third"), 1);
    EXPECT_EQ(ReadFile(log_path_), "first 1second\r\nthird");
    EXPECT_EQ(g_bTraceFileBusy, 0);

    ASSERT_EQ(captured_.size(), 3u);
    EXPECT_EQ(captured_[0], "first 1");
    EXPECT_EQ(captured_[1], "second\r\n");
    EXPECT_EQ(captured_[2], "third");
}

TEST_F(TraceTest, EmptyTextReachesTheDebuggerButNotTheFile)
{
    UseLogFile();
    EXPECT_EQ(TraceOut("%s", ""), 1);
    ASSERT_EQ(captured_.size(), 1u);
    EXPECT_EQ(captured_[0], "");
    EXPECT_FALSE(FileExists(log_path_));
    EXPECT_EQ(AppendTraceFile(""), 0);
    EXPECT_EQ(AppendTraceFile(nullptr), 0);
    EXPECT_FALSE(FileExists(log_path_));
}

TEST_F(TraceTest, BusyFileIsSkippedAfterWaiting)
{
    UseLogFile();
    g_bTraceFileBusy = 1;
    DWORD start = GetTickCount();
    EXPECT_EQ(TraceOut("return %d \r\n", 3), 1);
    DWORD elapsed = GetTickCount() - start;

    EXPECT_GE(elapsed, 90u);
    ASSERT_EQ(captured_.size(), 1u);
    EXPECT_EQ(captured_[0], "return 3 \r\n");
    EXPECT_FALSE(FileExists(log_path_));
    EXPECT_EQ(g_bTraceFileBusy, 1);

    // Once released, the file is used again.
    g_bTraceFileBusy = 0;
    EXPECT_EQ(TraceOut("again"), 1);
    EXPECT_EQ(ReadFile(log_path_), "again");
}

TEST_F(TraceTest, LongTextIsCutTo511Bytes)
{
    UseLogFile();
    std::string long_text(700, 'x');
    for (size_t i = 0; i < long_text.size(); ++i) {
        long_text[i] = static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(TraceOut("%s", long_text.c_str()), 1);
    ASSERT_EQ(captured_.size(), 1u);
    EXPECT_EQ(captured_[0], long_text.substr(0, 511));
    EXPECT_EQ(ReadFile(log_path_), long_text.substr(0, 511));
}

TEST_F(TraceTest, TimeOfDayStringHasEightCharacters)
{
    EXPECT_EQ(GetTimeOfDayString(nullptr), 0);
    char buffer[16];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(GetTimeOfDayString(buffer), 1);
    EXPECT_EQ(strlen(buffer), 8u);
    EXPECT_EQ(buffer[9], '#');  // nothing written past the 9 bytes
    EXPECT_EQ(buffer[2], ':');
    EXPECT_EQ(buffer[5], ':');
}

}  // namespace
