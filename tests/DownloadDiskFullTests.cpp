// The download worker when the disk fills up. Run with a file-size limit on
// the process (see CMakeLists.txt): writes past it fail as on a full disk.
// Winsock's header must come before the one for windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "download/HttpDownloader.h"
#include "tests/support/DownloadTestRig.h"
#include "tests/support/ImportPatch.h"

namespace {

// Microsoft's C runtime drops the buffer when a flush fails, so that a later
// fclose has nothing left to write and succeeds; Wine's keeps it and fails
// again. These stand in for the program's fflush and fclose to behave as the
// former does.
std::set<FILE*> s_droppedBuffers;
ImportPatch* s_fflush = nullptr;
ImportPatch* s_fclose = nullptr;

int __cdecl WindowsFflush(FILE* stream)
{
    const int result = s_fflush->Original<int(__cdecl*)(FILE*)>()(stream);
    if (result != 0 && stream) s_droppedBuffers.insert(stream);
    return result;
}

int __cdecl WindowsFclose(FILE* stream)
{
    const int result = s_fclose->Original<int(__cdecl*)(FILE*)>()(stream);
    return s_droppedBuffers.erase(stream) ? 0 : result;
}

size_t FileSizeLimit()
{
    const char* limitText = std::getenv("DOWNLOAD_TEST_FILE_SIZE_LIMIT");
    return limitText ? std::strtoul(limitText, nullptr, 10) : 0;
}

TEST(DownloadWorkerOnFullDisk, FailedWriteIsFileErrorAndRemovesThePartialFile)
{
    const size_t limit = FileSizeLimit();
    ASSERT_NE(0u, limit) << "run under the file-size limit";
    ImportPatch fflushPatch("msvcrt.dll", "fflush", reinterpret_cast<const void*>(&WindowsFflush));
    ImportPatch fclosePatch("msvcrt.dll", "fclose", reinterpret_cast<const void*>(&WindowsFclose));
    ASSERT_TRUE(fflushPatch.Applied() && fclosePatch.Applied());
    s_fflush = &fflushPatch;
    s_fclose = &fclosePatch;

    LoopbackHttpServer server;
    ASSERT_TRUE(server.Start());
    ProxyRoute route(server.Port());
    const std::string folder = TestFolder();
    const std::string target = folder + "\\" + INSTALLER_FILE_NAME;
    WriteWholeFile(target, "the user's own file");

    // Past the limit within the body, past it exactly at the end, and past it
    // only in the last bytes, which the C runtime holds in its buffer until
    // the file is flushed.
    for (size_t size : {2 * limit + 12345, limit + 65536, limit + 1000}) {
        server.SetBehaviour(HttpBehaviour::Whole(PatternBody(size)));
        CHttpDownloader downloader;
        EXPECT_EQ(DOWNLOAD_FILE_ERROR, RunDownload(downloader, target)) << size;
        EXPECT_EQ("the user's own file", ReadWholeFile(target));
        EXPECT_EQ(std::vector<std::string>{INSTALLER_FILE_NAME}, FilesIn(folder));
        // The bar stays at the share that had arrived: 100 only when the last write failed.
        const std::vector<unsigned long long> progress = RecordedProgress(downloader);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(size == limit + 1000, progress.back() == 100u) << size;
    }

    // 500 MB announced by a fast server: reported at once, without waiting
    // for WinInet to close the connection.
    server.SetBehaviour(HttpBehaviour::Repeated(PatternBody(1 << 20), 500000000u));
    CHttpDownloader downloader;
    DownloadThread thread(downloader, target);
    EXPECT_EQ(DOWNLOAD_FILE_ERROR, thread.WaitForFinishedMessage(3000));
    EXPECT_EQ(std::vector<std::string>{INSTALLER_FILE_NAME}, FilesIn(folder));
    server.Stop();
}

}  // namespace
