// The download worker when the disk fills up. Run with a file-size limit on
// the process (see CMakeLists.txt): writes past it fail as on a full disk.
// Winsock's header must come before the one for windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "download/HttpDownloader.h"
#include "tests/support/DownloadTestRig.h"

namespace {

TEST(DownloadWorkerOnFullDisk, FailedWriteIsFileErrorAndRemovesThePartialFile)
{
    const char* limitText = std::getenv("DOWNLOAD_TEST_FILE_SIZE_LIMIT");
    ASSERT_NE(nullptr, limitText) << "run under the file-size limit";
    const size_t limit = std::strtoul(limitText, nullptr, 10);

    LoopbackHttpServer server;
    ASSERT_TRUE(server.Start());
    ProxyRoute route(server.Port());
    const std::string folder = TestFolder();
    const std::string target = folder + "\\" + INSTALLER_FILE_NAME;
    WriteWholeFile(target, "the user's own file");

    // Past the limit within the body, and past it exactly at the end.
    for (size_t size : {2 * limit + 12345, limit + 65536}) {
        server.SetBehaviour(HttpBehaviour::Whole(PatternBody(size)));
        ProgressRecorder recorder;
        CHttpDownloader downloader;
        EXPECT_EQ(DOWNLOAD_FILE_ERROR, RunDownload(downloader, target, recorder)) << size;
        EXPECT_EQ("the user's own file", ReadWholeFile(target));
        EXPECT_EQ(std::vector<std::string>{INSTALLER_FILE_NAME}, FilesIn(folder));
        ASSERT_FALSE(recorder.m_values.empty());
        EXPECT_EQ(100u, recorder.m_values.back());
    }
}

}  // namespace
