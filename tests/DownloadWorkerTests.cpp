// The download worker against the real WinInet and a loopback server that
// WinInet reaches through its preconfigured proxy.
// Winsock's header must come before the one for windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <gtest/gtest.h>
#include <wininet.h>

#include <algorithm>
#include <memory>

#include "download/HttpDownloader.h"
#include "framework/WorkerThreads.h"
#include "tests/support/DownloadTestRig.h"
#include "tests/support/ImportPatch.h"

namespace {

// Replacements for system functions that this program's code calls.
ImportPatch *s_tickCount, *s_setOption, *s_createThread;
volatile DWORD s_nClockShiftMs;  // time a test makes pass at once
std::vector<DWORD> s_receiveTimeouts;
bool s_bRefuseWorker;

DWORD WINAPI ShiftedTickCount()
{
    return s_tickCount->Original<decltype(&::GetTickCount)>()() + s_nClockShiftMs;
}

// The proxy's prompt, answered by a user who takes ten minutes over it.
DWORD WINAPI SlowUserAtProxyPrompt(HWND, HINTERNET, DWORD, DWORD, LPVOID*)
{
    s_nClockShiftMs += 600000;
    return ERROR_INTERNET_FORCE_RETRY;
}

BOOL WINAPI RecordedInternetSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option == INTERNET_OPTION_RECEIVE_TIMEOUT) s_receiveTimeouts.push_back(*static_cast<DWORD*>(buffer));
    return s_setOption->Original<decltype(&::InternetSetOptionA)>()(handle, option, buffer, length);
}

// Set as the worker starts its wait before a new try, the only wait of the
// test's length.
HANDLE s_hInRetryWait = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
constexpr DWORD LONG_RETRY_WAIT_MS = 30000;
ImportPatch* s_waitForObject;

DWORD WINAPI ObservedWaitForSingleObject(HANDLE handle, DWORD timeoutMs)
{
    if (timeoutMs == LONG_RETRY_WAIT_MS) ::SetEvent(s_hInRetryWait);
    return s_waitForObject->Original<decltype(&::WaitForSingleObject)>()(handle, timeoutMs);
}

// The program's threads (only the download worker here) made suspended, or
// not at all.
HANDLE WINAPI HoldDownloadThreads(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                  LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    if (s_bRefuseWorker) return nullptr;
    return s_createThread->Original<decltype(&::CreateThread)>()(security, stackSize, start, parameter,
                                                                 flags | CREATE_SUSPENDED, threadId);
}

const char kInstallerUrlPath[] = "/support/download/peripheral/pccamera/camvista/soft/QuilloCamKitSetup121.exe";

class DownloadWorker : public LoopbackDownloadTest {
protected:
    DownloadResult Download(const std::string& path)
    {
        CHttpDownloader downloader({NETWORK_TIMEOUT_MS, 10});
        const DownloadResult result = RunDownload(downloader, path);
        m_progress = RecordedProgress(downloader);
        return result;
    }

    // The target and nothing else: no temporary file is left behind.
    void ExpectFolderHoldsOnly(const std::vector<std::string>& names) { EXPECT_EQ(names, FilesIn(m_folder)); }

    // What the last Download recorded for the progress bar.
    std::vector<unsigned long long> m_progress;
};

TEST_F(DownloadWorker, WholeBodyIsSavedFromTheFixedRequestWhateverTheLocalName)
{
    const std::string body = PatternBody(200000);
    m_server.SetBehaviour(HttpBehaviour::Whole(body));
    const std::string local = m_folder + "\\my setup.exe";

    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(local));
    EXPECT_TRUE(ReadWholeFile(local) == body);
    ExpectFolderHoldsOnly({"my setup.exe"});
    EXPECT_TRUE(RisesTo(100, m_progress));

    const std::vector<RecordedRequest> requests = m_server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    const std::string& url = requests[0].target;
    EXPECT_TRUE(url == std::string("http://download.zembra.example") + kInstallerUrlPath ||
                url == std::string("http://download.zembra.example:80") + kInstallerUrlPath)
        << url;
    EXPECT_EQ("ZEMBRA Downloader", requests[0].userAgent);
    EXPECT_EQ("ZEMBRA Downloader", requests[0].userAgent);

    // Nothing is served from a cache: the next download asks the server
    // again and gets the new body. Headers given twice alike are taken.
    const std::string newer = PatternBody(1000);
    m_server.SetBehaviour(HttpBehaviour::Whole(newer, "Content-Length: 1000\r\nContent-Encoding: identity\r\n"));
    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(local));
    EXPECT_TRUE(ReadWholeFile(local) == newer);
    EXPECT_EQ(2u, m_server.Requests().size());
}

TEST_F(DownloadWorker, BodyOfExactMultipleOf64KEndsWithAnEmptyRead)
{
    const std::string body = PatternBody(3 * 65536);
    m_server.SetBehaviour(HttpBehaviour::Whole(body));

    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target));
    EXPECT_TRUE(ReadWholeFile(m_target) == body);
    // Each whole percentage once: the empty read and the end add none.
    EXPECT_TRUE(RisesTo(100, m_progress));
}

TEST_F(DownloadWorker, PercentageDoesNotWrapOnLargeBodiesAndPassesEveryWholeValueOnce)
{
    // total x 100 passes 2^32 after 42,949,673 bytes. A read is less than
    // 1% of this body: the bar passes every whole percentage, once.
    const size_t size = 45u * 1024 * 1024 + 123;
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(size)));

    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target));
    std::vector<unsigned long long> everyValue;
    for (unsigned long long percent = 1; percent <= 100; ++percent) everyValue.push_back(percent);
    EXPECT_EQ(everyValue, m_progress);
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    ASSERT_TRUE(::GetFileAttributesExA(m_target.c_str(), GetFileExInfoStandard, &attributes));
    EXPECT_EQ(size, attributes.nFileSizeLow);
}

TEST_F(DownloadWorker, IncompleteBodyIsNetworkErrorAndUsersFileSurvives)
{
    WriteWholeFile(m_target, "the user's own file");
    m_server.SetBehaviour(HttpBehaviour::EarlyClose(PatternBody(300000), 100000));

    EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, Download(m_target));
    EXPECT_EQ("the user's own file", ReadWholeFile(m_target));
    ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});
    // The bar stays at the share that arrived: 100,000 of 300,000 bytes.
    ASSERT_FALSE(m_progress.empty());
    EXPECT_EQ(33u, m_progress.back());
}

TEST_F(DownloadWorker, BodyLongerThanAnnouncedIsNetworkErrorAsSoonAsTheExcessArrives)
{
    // Chunked coding lets more bytes through than Content-Length announces;
    // the server would go on for 8 MB.
    HttpBehaviour behaviour = HttpBehaviour::Chunked(PatternBody(8 << 20));
    behaviour.contentLength = "100000";
    m_server.SetBehaviour(behaviour);

    EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, Download(m_target));
    ExpectFolderHoldsOnly({});
    ASSERT_FALSE(m_progress.empty());
    EXPECT_GT(m_progress.back(), 100u);
}

TEST_F(DownloadWorker, MovedInstallerIsFollowedButARedirectLoopIsGivenUp)
{
    const std::string body = PatternBody(70000);
    m_server.SetBehaviour(HttpBehaviour::Redirect(301, "http://download.zembra.example/old/setup.exe"));
    m_server.SetBehaviourForPath("/old/setup.exe", HttpBehaviour::Redirect(302, "/moved/setup.exe"));
    m_server.SetBehaviourForPath("/moved/setup.exe", HttpBehaviour::Whole(body));
    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target));
    EXPECT_TRUE(ReadWholeFile(m_target) == body);
    EXPECT_EQ(3u, m_server.Requests().size());

    // A loop ends with the network error after ten redirects, before any
    // file is made; the user's file stays.
    m_server.SetBehaviour(HttpBehaviour::Redirect(302, kInstallerUrlPath));
    EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, Download(m_target));
    EXPECT_EQ(3u + 11u, m_server.Requests().size());
    EXPECT_TRUE(m_progress.empty());
    EXPECT_TRUE(ReadWholeFile(m_target) == body);

    // Cancel is seen between the requests.
    CHttpDownloader cancelled;
    cancelled.Cancel();
    EXPECT_EQ(DOWNLOAD_CANCELLED, RunDownload(cancelled, m_target));
    EXPECT_EQ(3u + 11u + 1u, m_server.Requests().size());
    ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});

    // A redirect's fragment names a place in the document; it is not sent.
    m_server.SetBehaviour(HttpBehaviour::Redirect(302, "/moved/setup.exe#part"));
    m_server.SetBehaviourForPath("/moved/setup.exe", HttpBehaviour::Whole(body));
    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target));
    EXPECT_EQ(std::string::npos, m_server.Requests().back().target.find('#'));
}

TEST_F(DownloadWorker, StallLimitEndsSilenceTriesIncludedButNotBytesStillComing)
{
    // No answer: the tries end with the stall limit, not a whole time-out
    // each (over 2 s here). One full read each time: three tries.
    const HttpBehaviour silences[] = {HttpBehaviour::Silent(), HttpBehaviour::Stalled(PatternBody(300000), 65536)};
    const unsigned long long reached[] = {0, 21};
    for (int i = 0; i < 2; ++i) {
        const size_t before = m_server.Requests().size();
        m_server.SetBehaviour(silences[i]);
        CHttpDownloader downloader({1000, 10, 2500});
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, RunDownload(downloader, m_target)) << i;
        EXPECT_TRUE(i ? m_server.Requests().size() == before + 3 : ::GetTickCount() - start < 3000) << i;
        const std::vector<unsigned long long> progress = RecordedProgress(downloader);
        EXPECT_EQ(reached[i], progress.empty() ? 0 : progress.back()) << i;
        ExpectFolderHoldsOnly({});
    }

    // Bytes below the furthest point, and time at the proxy's prompt, are no
    // stall. The clock jumps ten minutes where an answer holds.
    const std::string body = PatternBody(3 << 20);
    ImportPatch tickCount("kernel32.dll", "GetTickCount", reinterpret_cast<const void*>(&ShiftedTickCount));
    ImportPatch prompt("wininet.dll", "InternetErrorDlg", reinterpret_cast<const void*>(&SlowUserAtProxyPrompt));
    ImportPatch setOption("wininet.dll", "InternetSetOptionA",
                          reinterpret_cast<const void*>(&RecordedInternetSetOption));
    ASSERT_TRUE(tickCount.Applied() && prompt.Applied() && setOption.Applied());
    s_tickCount = &tickCount;
    s_setOption = &setOption;
    auto requestsToFinish = [&](const HttpBehaviour& behaviour, DWORD stallLimitMs) {
        m_server.SetBehaviour(behaviour);
        s_receiveTimeouts.clear();
        const size_t before = m_server.Requests().size();
        CHttpDownloader downloader({10000, 10, stallLimitMs});
        DownloadThread thread(downloader, m_target);
        const auto startOverRead = [&] { return RecordedProgress(downloader).back() % 89 != 0; };  // not 0 nor 89 %
        if (!behaviour.stallsAt.empty() && m_server.WaitForStall() && PumpMessagesUntil(startOverRead)) {
            s_nClockShiftMs += 600000;
            m_server.ReleaseStall();
        }
        EXPECT_TRUE(thread.Wait() && thread.m_nResult == DOWNLOAD_SUCCEEDED && ReadWholeFile(m_target) == body);
        return m_server.Requests().size() - before;
    };
    // Without ranges: a drop at 90 %, a start over that drops at 50 %.
    HttpBehaviour restarting = HttpBehaviour::Whole(body);
    restarting.dropsAt = {body.size() / 10 * 9, body.size() / 2};
    restarting.stallsAt = {HttpBehaviour::ALL, body.size() / 10};
    EXPECT_EQ(3u, requestsToFinish(restarting, 2000));
    // A try that asks for a password, then drops at once.
    HttpBehaviour asking = HttpBehaviour::Resumable(body, {1 << 20, 1 << 20});
    asking.proxyAuthRequest = 1;
    EXPECT_EQ(4u, requestsToFinish(asking, 2000));
    // A try's time-out cut to what was left is restored once bytes come.
    // Wine applies it only as it connects: what WinInet is told is checked.
    EXPECT_EQ(2u, requestsToFinish(HttpBehaviour::Resumable(body, {1 << 20}), 500));
    ASSERT_FALSE(s_receiveTimeouts.empty());
    EXPECT_LT(*std::min_element(s_receiveTimeouts.begin(), s_receiveTimeouts.end()), 500u);
    EXPECT_EQ(10000u, s_receiveTimeouts.back());
}

TEST_F(DownloadWorker, ResponsesWithoutUsableLengthOrStatusCreateNoFile)
{
    WriteWholeFile(m_target, "kept");
    const std::string body = PatternBody(1000);
    const std::pair<const char*, HttpBehaviour> cases[] = {
        {"404 with a body", HttpBehaviour::Status(404, body)},
        {"500 with a body", HttpBehaviour::Status(500, body)},
        {"no Content-Length (chunked)", HttpBehaviour::Chunked(body)},
        {"no number", HttpBehaviour::WithContentLength("abc", body)},
        {"trailing text", HttpBehaviour::WithContentLength("1000x", body)},
        {"negative", HttpBehaviour::WithContentLength("-1000", body)},
        {"zero", HttpBehaviour::WithContentLength("0", body)},
        {"above 2^31 - 1", HttpBehaviour::WithContentLength("2147483648", body)},
        {"above 2^32", HttpBehaviour::WithContentLength("4294968296", body)},
        {"two lengths that differ", HttpBehaviour::Whole(body, "Content-Length: 999\r\n")},
        {"a second length too long to read",
         HttpBehaviour::Whole(body, "Content-Length: " + std::string(70, '1') + "\r\n")},
        {"compressed", HttpBehaviour::Whole(body, "Content-Encoding: gzip\r\n")},
    };
    for (const auto& c : cases) {
        m_server.SetBehaviour(c.second);
        EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, Download(m_target)) << c.first;
        EXPECT_TRUE(m_progress.empty()) << c.first;
        EXPECT_EQ("kept", ReadWholeFile(m_target)) << c.first;
        ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});
    }
    EXPECT_EQ(sizeof cases / sizeof cases[0], m_server.Requests().size());
}

TEST_F(DownloadWorker, RefusedConnectionIsNetworkErrorWithoutProgress)
{
    // The proxy settings are read again for each transfer: the running
    // server, no longer named in them, sees nothing.
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(1000)));
    const USHORT port = LoopbackHttpServer::UnusedPort();
    ASSERT_NE(0, port);
    m_route.reset();
    ProxyRoute route(port);

    EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, Download(m_target));
    EXPECT_TRUE(m_progress.empty());
    EXPECT_TRUE(m_server.Requests().empty());
    ExpectFolderHoldsOnly({});
}

TEST_F(DownloadWorker, UnwritableTargetIsFileErrorBeforeAnyRead)
{
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(100000)));

    EXPECT_EQ(DOWNLOAD_FILE_ERROR, Download(m_folder + "\\missing folder\\" + INSTALLER_FILE_NAME));
    EXPECT_EQ(DOWNLOAD_FILE_ERROR, Download(m_folder));  // a folder, not a file

    WriteWholeFile(m_target, "read-only");
    ASSERT_TRUE(::SetFileAttributesA(m_target.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DOWNLOAD_FILE_ERROR, Download(m_target));
    ::SetFileAttributesA(m_target.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ("read-only", ReadWholeFile(m_target));
    ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});

    EXPECT_TRUE(m_progress.empty());
    EXPECT_EQ(3u, m_server.Requests().size());
}

TEST_F(DownloadWorker, CancelBeforeTheFirstReadDeletesTheNewFileAndKeepsTheOld)
{
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(100000)));
    CHttpDownloader downloader;
    downloader.Cancel();
    EXPECT_EQ(DOWNLOAD_CANCELLED, RunDownload(downloader, m_target));
    EXPECT_TRUE(RecordedProgress(downloader).empty());
    ExpectFolderHoldsOnly({});

    WriteWholeFile(m_target, "old");
    CHttpDownloader second;
    second.Cancel();
    EXPECT_EQ(DOWNLOAD_CANCELLED, RunDownload(second, m_target));
    EXPECT_EQ("old", ReadWholeFile(m_target));
    ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});
}

TEST_F(DownloadWorker, CancelIsSeenAfterAReadButNotAfterTheOneThatCompletesTheBody)
{
    // The cancel comes while the worker waits for the bytes after the first
    // 65,536. With more to come after those, the cancel is seen; when they
    // complete the body, it is not: the download completes.
    struct Case {
        const char* name;
        std::string body;
        DownloadResult result;
    };
    const Case cases[] = {
        {"full read", PatternBody(300000), DOWNLOAD_CANCELLED},
        {"last, short read", PatternBody(65536 + 1000), DOWNLOAD_SUCCEEDED},
    };
    for (const Case& c : cases) {
        WriteWholeFile(m_target, "old");
        m_server.SetBehaviour(HttpBehaviour::Stalled(c.body, 65536));
        StallWatch watch;
        CHttpDownloader downloader;
        DownloadThread thread(downloader, m_target);
        EXPECT_TRUE(m_server.WaitForStall()) << c.name;
        EXPECT_TRUE(watch.WorkerWaitsPastStall()) << c.name;
        downloader.Cancel();
        m_server.ReleaseStall();
        EXPECT_TRUE(thread.Wait()) << c.name;
        EXPECT_EQ(c.result, thread.m_nResult) << c.name;
        EXPECT_EQ(c.result == DOWNLOAD_SUCCEEDED, RecordedProgress(downloader).back() == 100) << c.name;
        EXPECT_TRUE(ReadWholeFile(m_target) == (c.result == DOWNLOAD_SUCCEEDED ? c.body : "old")) << c.name;
        ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});
    }
}

TEST_F(DownloadWorker, PathsWithShiftJisTrailBackslashesKeepTheTemporaryFileBeside)
{
    // ソ and 表 end in the byte 0x5C.
    const std::string folder = TestFolder("ソフト表");
    const std::string target = folder + "\\表ソ.exe";
    const std::string body = PatternBody(70000);
    m_server.SetBehaviour(HttpBehaviour::Whole(body));

    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(target));
    EXPECT_TRUE(ReadWholeFile(target) == body);
    EXPECT_EQ(std::vector<std::string>{"表ソ.exe"}, FilesIn(folder));
}

TEST_F(DownloadWorker, EarlierTransferNeverTouchesALaterOneToTheSamePath)
{
    // The first transfer waits for the bytes after its first 65,536 when
    // its window goes away; a second transfer to the same path completes
    // meanwhile. The first body then arrives whole, but is not moved over
    // the second one's file.
    const std::string first = PatternBody(100000);
    m_server.SetBehaviour(HttpBehaviour::Stalled(first, 65536));
    StallWatch watch;
    CHttpDownloader stalled;
    DownloadThread earlier(stalled, m_target);
    ASSERT_TRUE(PumpMessagesUntil([&] { return stalled.ProgressCount() > 0; }));
    EXPECT_TRUE(watch.WorkerWaitsPastStall());
    stalled.Cancel();
    stalled.DetachNotifyWindow();

    const std::string second = PatternBody(150000);
    m_server.SetBehaviour(HttpBehaviour::Whole(second));
    EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target));
    EXPECT_EQ(2u, FilesIn(m_folder).size());  // the target and the first transfer's own file

    m_server.ReleaseStall();
    EXPECT_TRUE(earlier.Wait());
    EXPECT_EQ(DOWNLOAD_CANCELLED, earlier.m_nResult);
    EXPECT_TRUE(ReadWholeFile(m_target) == second);
    ExpectFolderHoldsOnly({INSTALLER_FILE_NAME});
}

TEST_F(DownloadWorker, CancelIsReportedAtOnceWhateverTheAnnouncedLength)
{
    // 2 GB announced at loopback speed: the report does not wait for
    // WinInet to close the connection (Wine's reads the rest first).
    m_server.SetBehaviour(HttpBehaviour::Repeated(PatternBody(1 << 20), 2000000000u));
    CHttpDownloader downloader;
    DownloadThread thread(downloader, m_target);
    ASSERT_TRUE(PumpMessagesUntil([&] { return m_server.BodyBytesSent() > (20u << 20); }));
    downloader.Cancel();
    EXPECT_EQ(DOWNLOAD_CANCELLED, thread.WaitForFinishedMessage(1000));
    ExpectFolderHoldsOnly({});
    m_server.Stop();
}

TEST_F(DownloadWorker, DroppedConnectionAsksForTheRestOfTheSameBodyElseStartsOver)
{
    const std::string body = PatternBody(3 << 20);
    const char lastModified[] = "Wed, 21 Oct 2015 07:28:00 GMT";
    const std::string lastModifiedLine = "Last-Modified: " + std::string(lastModified) + "\r\n";
    const std::string newerDate = "Thu, 22 Oct 2015 07:28:00 GMT\r\n";
    const std::string dated = lastModifiedLine + "Date: Wed, 21 Oct 2015 07:28:01 GMT\r\n";
    struct Case {
        const char* name;
        std::string validatorHeader;  // as sent by the server
        const char* ifRange;          // as sent back; null: no range asked for
        std::string current;          // the server's validator of the body it has now
    };
    const Case cases[] = {
        {"strong ETag", "ETag: \"v1\"\r\n", "\"v1\"", "\"v1\""},
        {"Last-Modified a second before Date", dated, lastModified, lastModified},
        {"weak ETag only: from 0", "ETag: W/\"v1\"\r\n", nullptr, "none"},
        {"changed body: from 0", "ETag: \"v1\"\r\n", "\"v1\"", "\"v2\""},
        // A date a second older than the answer, never beside an ETag; only
        // visible ASCII in a header.
        {"Last-Modified without Date: from 0", lastModifiedLine, nullptr, lastModified},
        {"weak ETag beside Last-Modified: from 0", "ETag: W/\"v1\"\r\n" + lastModifiedLine + "Date: " + newerDate,
         nullptr, lastModified},
        {"line break in the ETag: from 0", "ETag: \"v1\rX: 1\"\r\n", nullptr, "\"v1\rX: 1\""},
    };
    for (const Case& c : cases) {
        m_server.SetBehaviour(HttpBehaviour::Resumable(body, {1 << 20, 2 << 20}, c.current, c.validatorHeader));
        const size_t before = m_server.Requests().size();
        EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target)) << c.name;
        EXPECT_TRUE(ReadWholeFile(m_target) == body) << c.name;
        const std::vector<RecordedRequest> requests = m_server.Requests();
        ASSERT_EQ(before + 3, requests.size()) << c.name;
        EXPECT_NE(std::string::npos, requests[before].head.find("Accept-Encoding: identity\r\n"));
        EXPECT_EQ(c.ifRange ? "bytes=1048576-" : "", requests[before + 1].range) << c.name;
        if (c.ifRange) {
            EXPECT_NE(std::string::npos, requests[before + 2].head.find("If-Range: " + std::string(c.ifRange)));
        }
        // Resumed, the bar only rises; started over, it went back to 0 after each drop.
        if (c.ifRange && c.current == c.ifRange)
            EXPECT_TRUE(RisesTo(100, m_progress)) << c.name;
        else
            EXPECT_EQ(2, std::count(m_progress.begin(), m_progress.end(), 0ull)) << c.name;
    }

    // A range sent whatever If-Range says, with a new version's ETag or
    // date: that version from byte 0. Its unread rest fits the buffers.
    std::string newer = PatternBody(65536);
    for (char& c : newer) c = static_cast<char>(c ^ 0x5A);
    for (const std::string& version : {std::string("ETag: \"v2\"\r\n"), "Last-Modified: " + newerDate}) {
        HttpBehaviour ignoring = HttpBehaviour::Resumable(PatternBody(65536), {32768}, "\"v1\"",
                                                          version[0] == 'E' ? "ETag: \"v1\"\r\n" : dated);
        ignoring.bIgnoresIfRange = true;
        ignoring.changedFromAnswer = 1;
        ignoring.changedBody = newer;
        ignoring.changedHeaders = version + "Date: Fri, 23 Oct 2015 07:28:00 GMT\r\n";
        m_server.SetBehaviour(ignoring);
        EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target)) << version;
        EXPECT_TRUE(ReadWholeFile(m_target) == newer && m_server.Requests().back().range.empty()) << version;
    }

    const std::pair<int, const char*> refusals[] = {
        {416, "Content-Range: bytes */300000\r\n"},
        {206, "Content-Length: 0\r\nContent-Range: bytes 100000-299999/300000\r\n"},
        {206, "Content-Length: 200000\r\nContent-Range: bytes */300000\r\n"},
        {206, "Content-Length: 201000\r\nContent-Range: bytes 99000-299999/300000\r\n"},
        {206, "Content-Length: 201000\r\nContent-Range: bytes 100000-299999/300000\r\n"},
    };
    for (const auto& refusal : refusals) {
        HttpBehaviour refusing = HttpBehaviour::Resumable(PatternBody(300000), {100000});
        refusing.nRangeStatus = refusal.first;
        refusing.rangeLines = refusal.second;
        m_server.SetBehaviour(refusing);
        EXPECT_EQ(DOWNLOAD_SUCCEEDED, Download(m_target)) << refusal.second;
        EXPECT_TRUE(ReadWholeFile(m_target) == refusing.body && m_server.Requests().back().range.empty());
        EXPECT_EQ(1, std::count(m_progress.begin(), m_progress.end(), 0ull)) << refusal.second;
    }
}

TEST_F(DownloadWorker, FruitlessTriesEndAfterThreeGrowingWaitsWhichCancelCutsShort)
{
    const size_t drop = 1 << 20;
    m_server.SetBehaviour(HttpBehaviour::Resumable(PatternBody(3 << 20), {drop, drop, drop, drop, drop}));
    CHttpDownloader downloader({NETWORK_TIMEOUT_MS, 100});
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(DOWNLOAD_NETWORK_ERROR, RunDownload(downloader, m_target));
    EXPECT_GE(::GetTickCount() - start, 700u);
    EXPECT_EQ(4u, m_server.Requests().size());
    ExpectFolderHoldsOnly({});

    m_server.SetBehaviour(HttpBehaviour::Resumable(PatternBody(3 << 20), {drop}));
    ImportPatch waitForObject("kernel32.dll", "WaitForSingleObject",
                              reinterpret_cast<const void*>(&ObservedWaitForSingleObject));
    ASSERT_TRUE(waitForObject.Applied());
    s_waitForObject = &waitForObject;
    ::ResetEvent(s_hInRetryWait);
    CHttpDownloader waiting({NETWORK_TIMEOUT_MS, LONG_RETRY_WAIT_MS});
    DownloadThread thread(waiting, m_target);
    ASSERT_TRUE(WaitPumpingMessages(s_hInRetryWait, 10000));
    waiting.Cancel();
    EXPECT_EQ(DOWNLOAD_CANCELLED, thread.WaitForFinishedMessage(1000));
}

TEST_F(DownloadWorker, ThreadIsCountedFromBeforeItFirstRunsUntilItEnds)
{
    // A quit before the worker first runs must see it; no thread, no count.
    ImportPatch createThread("kernel32.dll", "CreateThread", reinterpret_cast<const void*>(&HoldDownloadThreads));
    s_createThread = &createThread;
    s_bRefuseWorker = false;
    const auto job = std::make_shared<CDownloadJob>();
    CHandle thread(StartWorkerThread(DownloadThreadProc, new std::shared_ptr<CDownloadJob>(job)));
    EXPECT_EQ(1, RunningWorkerThreads());
    ASSERT_TRUE(thread.IsValid() && ::ResumeThread(thread) == 1 && WaitPumpingMessages(thread, 60000));
    EXPECT_EQ(1, job.use_count()) << "the thread let go of its share";
    EXPECT_EQ(0, RunningWorkerThreads());
    s_bRefuseWorker = true;
    auto* refused = new std::shared_ptr<CDownloadJob>(job);
    EXPECT_EQ(nullptr, StartWorkerThread(DownloadThreadProc, refused));
    delete refused;
    EXPECT_EQ(0, RunningWorkerThreads());
}

TEST_F(DownloadWorker, BarMovesWithWhatHasArrivedOnASlowLink)
{
    m_server.SetBehaviour(HttpBehaviour::Stalled(PatternBody(300000), 3000));
    CHttpDownloader downloader;
    DownloadThread thread(downloader, m_target);
    EXPECT_TRUE(PumpMessagesUntil([&] { return downloader.ProgressCount() > 0; }, 2000));
    EXPECT_EQ(1, downloader.ProgressCount() ? downloader.ProgressAt(0) : 0);
    m_server.ReleaseStall();
    EXPECT_TRUE(thread.Wait());
    EXPECT_EQ(DOWNLOAD_SUCCEEDED, thread.m_nResult);
}

}  // namespace
