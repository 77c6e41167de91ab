#include "framework/WorkerThreads.h"

#include <new>

namespace {

volatile LONG g_nRunningWorkerThreads = 0;

struct WorkerStart {
    LPTHREAD_START_ROUTINE proc;
    void* parameter;
};

DWORD WINAPI RunWorker(LPVOID parameter)
{
    const WorkerStart start = *static_cast<WorkerStart*>(parameter);
    delete static_cast<WorkerStart*>(parameter);
    const DWORD exitCode = start.proc(start.parameter);
    ::InterlockedDecrement(&g_nRunningWorkerThreads);
    return exitCode;
}

}  // namespace

HANDLE StartWorkerThread(LPTHREAD_START_ROUTINE proc, void* parameter)
{
    WorkerStart* start = new (std::nothrow) WorkerStart{proc, parameter};
    if (!start) return nullptr;
    ::InterlockedIncrement(&g_nRunningWorkerThreads);
    const HANDLE thread = ::CreateThread(nullptr, 0, RunWorker, start, 0, nullptr);
    if (!thread) {
        ::InterlockedDecrement(&g_nRunningWorkerThreads);
        delete start;
    }
    return thread;
}

LONG RunningWorkerThreads()
{
    return ::InterlockedCompareExchange(&g_nRunningWorkerThreads, 0, 0);
}
