#pragma once
// The program's threads besides the user-interface thread: a download, a
// signature check, a scan of the saved file. One may still run when the
// main dialog closes (a cancelled download waits in its read for up to its
// time-out); the process then ends at once rather than through the
// libraries' shutdown code, which could wait on whatever the thread holds.
#include <windows.h>

// Starts `proc(parameter)` on a thread of its own, counted from before the
// thread exists until `proc` has returned, so that a quit that comes before
// the thread first runs still finds it. Null when no thread could be
// started: `parameter` is then still the caller's.
HANDLE StartWorkerThread(LPTHREAD_START_ROUTINE proc, void* parameter);

// Worker threads started and not yet ended.
LONG RunningWorkerThreads();
