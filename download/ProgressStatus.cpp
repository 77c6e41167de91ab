#include "download/ProgressStatus.h"

const char STATUS_CONNECTING_TEXT[] = "サーバーに接続しています…";
const char STATUS_RESUMED_TEXT[] = "ダウンロードを再開しました。";
const char STATUS_PROXY_PROMPT_TEXT[] = "プロキシのユーザー名とパスワードの入力を待っています…";
const char STATUS_SCANNING_TEXT[] = "Windows がファイルを検査しています…";
const char STATUS_FAILED_TEXT[] = "ダウンロードできませんでした。";

namespace {

const char* const UNITS[] = {"KB", "MB", "GB", "TB"};

// The figures printed stay far inside a long; the system C runtime's
// formatting is given no 64-bit conversions.
long Long(LONGLONG value)
{
    return static_cast<long>(value);
}

// `bytes` (1024 or more) in the unit that keeps the figure below 1000, as
// hundredths of that unit, cut in one division.
LONGLONG InUnit(LONGLONG bytes, const char** unit)
{
    LONGLONG divisor = 1024;
    int index = 0;
    while (bytes / divisor >= 1000 && index + 1 < 4) {
        divisor *= 1024;
        ++index;
    }
    *unit = UNITS[index];
    return bytes * 100 / divisor;
}

}  // namespace

void CTransferRate::Add(DWORD tick, LONGLONG bytes)
{
    if (m_nCount && bytes < m_samples[(m_nFirst + m_nCount - 1) % SAMPLES].bytes) m_nCount = 0;
    if (!m_nCount) m_nFirst = 0;
    // The oldest sample goes once a newer one still spans the period, or
    // when there is no room.
    while (m_nCount >= 2 && tick - m_samples[(m_nFirst + 1) % SAMPLES].tick >= SPAN_MS) {
        m_nFirst = (m_nFirst + 1) % SAMPLES;
        --m_nCount;
    }
    if (m_nCount == SAMPLES) {
        m_nFirst = (m_nFirst + 1) % SAMPLES;
        --m_nCount;
    }
    m_samples[(m_nFirst + m_nCount) % SAMPLES] = Sample{tick, bytes};
    ++m_nCount;
}

LONGLONG CTransferRate::BytesPerSecond() const
{
    if (m_nCount < 2) return 0;
    const Sample& first = m_samples[m_nFirst];
    const Sample& last = m_samples[(m_nFirst + m_nCount - 1) % SAMPLES];
    const DWORD elapsed = last.tick - first.tick;
    if (elapsed < 1000) return 0;
    return (last.bytes - first.bytes) * 1000 / elapsed;
}

CString FormatByteSize(LONGLONG bytes)
{
    CString text;
    if (bytes < 1024) {
        text.Format("%ld バイト", Long(bytes < 0 ? 0 : bytes));
        return text;
    }
    const char* unit = nullptr;
    const LONGLONG hundredths = InUnit(bytes, &unit);
    if (hundredths < 1000)
        text.Format("%ld.%02ld %s", Long(hundredths / 100), Long(hundredths % 100), unit);
    else if (hundredths < 10000)
        text.Format("%ld.%ld %s", Long(hundredths / 100), Long(hundredths / 10 % 10), unit);
    else
        text.Format("%ld %s", Long(hundredths / 100), unit);
    return text;
}

namespace {

// A speed to one decimal below 100 of its unit, rounded: "1.2 MB/秒".
CString FormatSpeed(LONGLONG bytesPerSecond)
{
    CString text;
    if (bytesPerSecond < 1024) {
        text.Format("%ld バイト/秒", Long(bytesPerSecond));
        return text;
    }
    const char* unit = nullptr;
    const LONGLONG hundredths = InUnit(bytesPerSecond, &unit);
    if (hundredths < 10000) {
        const LONGLONG tenths = (hundredths + 5) / 10;
        text.Format("%ld.%ld %s/秒", Long(tenths / 10), Long(tenths % 10), unit);
    } else {
        text.Format("%ld %s/秒", Long((hundredths + 50) / 100), unit);
    }
    return text;
}

// As a copy dialog says it: whole seconds under a minute, then minutes.
CString FormatTimeLeft(LONGLONG seconds)
{
    CString text;
    if (seconds < 60)
        text.Format("残り約 %ld 秒", Long(seconds < 1 ? 1 : seconds));
    else
        text.Format("残り約 %ld 分", Long((seconds + 30) / 60));
    return text;
}

}  // namespace

CString ReceivingText(LONGLONG received, LONGLONG size, LONGLONG bytesPerSecond)
{
    CString text;
    if (size < 0) {
        if (bytesPerSecond > 0)
            text.Format("%s（%s）", FormatByteSize(received).GetString(), FormatSpeed(bytesPerSecond).GetString());
        else
            text = FormatByteSize(received);
        return text;
    }
    if (bytesPerSecond <= 0) {
        text.Format("%s / %s", FormatByteSize(received).GetString(), FormatByteSize(size).GetString());
        return text;
    }
    const LONGLONG left = size > received ? size - received : 0;
    const LONGLONG seconds = (left + bytesPerSecond - 1) / bytesPerSecond;
    text.Format("%s / %s（%s、%s）", FormatByteSize(received).GetString(), FormatByteSize(size).GetString(),
                FormatSpeed(bytesPerSecond).GetString(), FormatTimeLeft(seconds).GetString());
    return text;
}

CString RetryText(LONG tryNumber)
{
    CString text;
    text.Format("接続が切れました。%ld 回目の再試行を待っています…", static_cast<long>(tryNumber));
    return text;
}
