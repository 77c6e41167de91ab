// Debug trace output: formatted lines go to the debugger output and,
// when enabled, are appended to a log file.
#pragma once

#include <windows.h>

// Process-wide trace settings.
extern int g_bTraceEnabled;    // 0 turns all trace output off
extern int g_bTraceTimestamp;  // prefix each text with "HH:MM:SS : "
extern int g_bTraceToFile;     // also append each text to g_szTraceFilePath
extern char g_szTraceFilePath[MAX_PATH];
extern int g_bTraceFileBusy;  // set while a text is being appended to the file

// Formats like printf into a 512-byte buffer (longer texts are cut to
// 511 bytes) and passes the result to TraceOutText. Returns 0 when format
// is null or tracing is off, 1 once the text was output.
int TraceOut(const char* format, ...);

// Outputs one text: optionally prefixed with the time of day, optionally
// appended to the trace file, and always sent to the debugger output.
// Returns 0 when tracing is off, 1 otherwise.
int TraceOutText(const char* text);

// Appends text (without terminator) to the file g_szTraceFilePath,
// creating it if needed. Returns 1 when every byte was written.
int AppendTraceFile(const char* text);

// Writes the local time as "HH:MM:SS" into buffer, which must hold at
// least 9 bytes. Returns 0 when buffer is null, 1 otherwise.
int GetTimeOfDayString(char* buffer);
