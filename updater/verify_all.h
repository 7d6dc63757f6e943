// The check of every listed file at the start of a run, spread over the machine's cores.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "manifest_reader.h"

constexpr int kMaxVerifyThreads = 8;

// What the volume of the working folder says of its disk. Unknown when it cannot be asked (a
// network drive, a spanned volume, Wine): parallel reads are then taken to cost nothing extra.
enum class SeekPenalty { kNone, kIncurred, kUnknown };

SeekPenalty QuerySeekPenalty();

// One thread per logical processor the process may run on (affinityMask), at most
// kMaxVerifyThreads; one on a disk whose head would seek between files read side by side.
int VerifyThreadCount(DWORD_PTR affinityMask, SeekPenalty penalty);

// Sets every entry's up-to-date bit exactly as VerifyFile on each in turn would; true when at
// least one is stale. The calling thread takes its share with *context (the caller's, kept for
// later checks); every other thread acquires and releases its own. All have ended on return.
bool VerifyAll(std::vector<FileEntry>* entries, HCRYPTPROV* context);
