#include "verify_all.h"

#include <winioctl.h>

#include <algorithm>
#include <string>

#include "scoped_handles.h"
#include "verify_file.h"

namespace {

// A worker's stack holds its 4 KiB read buffer and whatever runs below it on Windows: the crypto
// provider and every loaded DLL's thread-attach code, on the size asked for here. (Wine gives
// every thread at least 1 MiB, so no run under Wine could show an overflow: the build refuses any
// frame of this file and verify_file.cpp above VERIFY_FRAME_LIMIT_BYTES instead.)
constexpr SIZE_T kWorkerStackBytes = 256 * 1024;
static_assert(kWorkerStackBytes >= 16 * VERIFY_FRAME_LIMIT_BYTES, "the frame limit is far below the stack");

// Files are handed out one at a time in manifest order, so large and small ones spread evenly
// whatever their order in the manifest.
struct VerifyQueue {
    std::vector<FileEntry>* entries;
    volatile LONG next;
};

void VerifyFromQueue(VerifyQueue* queue, HCRYPTPROV* context) {
    const LONG count = static_cast<LONG>(queue->entries->size());
    for (LONG i; (i = InterlockedIncrement(&queue->next) - 1) < count;) VerifyFile(&(*queue->entries)[i], context);
}

DWORD WINAPI VerifyWorker(void* queue) {
    // A context of its own: acquiring one is what CryptoAPI documents as safe from any thread.
    HCRYPTPROV context = 0;
    VerifyFromQueue(static_cast<VerifyQueue*>(queue), &context);
    if (context) CryptReleaseContext(context, 0);
    return 0;
}

// The device name of the volume that holds path, without the trailing backslash: the volume's
// GUID name, or \\.\X: for a drive letter that has none.
bool VolumeDeviceOf(const wchar_t* path, std::wstring* device) {
    wchar_t mountPoint[MAX_PATH], volume[MAX_PATH];
    if (!GetVolumePathNameW(path, mountPoint, MAX_PATH)) return false;
    if (GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH)) {
        *device = volume;
    } else if (mountPoint[0] && mountPoint[1] == L':' && mountPoint[2] == L'\\' && !mountPoint[3]) {
        *device = std::wstring(L"\\\\.\\") + mountPoint;
    } else {
        return false;
    }
    device->pop_back();
    return true;
}

}  // namespace

SeekPenalty QuerySeekPenalty() {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    std::wstring device;
    if (length == 0 || length >= MAX_PATH || !VolumeDeviceOf(folder, &device)) return SeekPenalty::kUnknown;
    // No access asked: enough for a query, and open to any user.
    const ScopedHandle volume(
        CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume.Valid()) return SeekPenalty::kUnknown;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer = {};
    DWORD got = 0;
    if (!DeviceIoControl(volume.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &answer, sizeof(answer),
                         &got, nullptr) ||
        got < sizeof(answer))
        return SeekPenalty::kUnknown;
    return answer.IncursSeekPenalty ? SeekPenalty::kIncurred : SeekPenalty::kNone;
}

int VerifyThreadCount(DWORD_PTR affinityMask, SeekPenalty penalty) {
    if (penalty == SeekPenalty::kIncurred) return 1;
    int processors = 0;
    for (; affinityMask; affinityMask &= affinityMask - 1) ++processors;
    return std::max(1, std::min(processors, kMaxVerifyThreads));
}

bool VerifyAll(std::vector<FileEntry>* entries, HCRYPTPROV* context) {
    VerifyQueue queue = {entries, 0};
    HANDLE workers[kMaxVerifyThreads - 1];
    int started = 0;
    DWORD_PTR processMask = 0, systemMask = 0;
    if (entries->size() > 1 && GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) {
        // The disk is asked only when there is a choice to make.
        int wanted = VerifyThreadCount(processMask, SeekPenalty::kNone);
        if (wanted > 1) wanted = VerifyThreadCount(processMask, QuerySeekPenalty());
        wanted = static_cast<int>(std::min<size_t>(wanted, entries->size()));
        // A thread that cannot be started leaves its share to the others, this one included.
        while (started + 1 < wanted) {
            const HANDLE worker = CreateThread(nullptr, kWorkerStackBytes, VerifyWorker, &queue,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
            if (!worker) break;
            workers[started++] = worker;
        }
    }
    VerifyFromQueue(&queue, context);
    // The workers read local files as this thread does; they end when the queue is empty.
    if (started) WaitForMultipleObjects(started, workers, TRUE, INFINITE);
    for (int i = 0; i < started; ++i) CloseHandle(workers[i]);

    return std::any_of(entries->begin(), entries->end(),
                       [](const FileEntry& entry) { return !(entry.flags & kUpToDateBit); });
}
