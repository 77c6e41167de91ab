#pragma once
// The progress dialog's status line: what it says about a transfer, in the
// program's texts, and the speed it quotes.
#include <windows.h>

#include "framework/CString.h"

// The speed of a transfer over its last few seconds, from the byte count
// sampled on the window's clock: a figure that moves as a copy dialog's
// does, neither jumping with every read nor dragging the whole history.
class CTransferRate {
public:
    // A count below the last one is a body that starts over: the history
    // goes with it.
    void Add(DWORD tick, LONGLONG bytes);
    // 0 until a second has been sampled.
    LONGLONG BytesPerSecond() const;

private:
    static constexpr int SAMPLES = 32;
    static constexpr DWORD SPAN_MS = 3000;
    struct Sample {
        DWORD tick;
        LONGLONG bytes;
    };
    Sample m_samples[SAMPLES] = {};
    int m_nFirst = 0;
    int m_nCount = 0;
};

// "12.3 MB": three significant figures, cut rather than rounded up, so that
// a body is never shown whole before it is.
CString FormatByteSize(LONGLONG bytes);

// While bytes arrive: "12.3 MB / 52.4 MB（1.2 MB/秒、残り約 35 秒）". With no
// size announced (`size` below 0) only the bytes and the speed; with no
// speed measured yet (0) only the bytes and the size.
CString ReceivingText(LONGLONG received, LONGLONG size, LONGLONG bytesPerSecond);

// While the worker waits to make try `tryNumber` after a dropped connection.
CString RetryText(LONG tryNumber);

extern const char STATUS_CONNECTING_TEXT[];
extern const char STATUS_RESUMED_TEXT[];
extern const char STATUS_PROXY_PROMPT_TEXT[];
extern const char STATUS_SCANNING_TEXT[];
extern const char STATUS_FAILED_TEXT[];
