// Decides by MD5 content alone whether an entry's file on disk is current.
#pragma once

#include "manifest_reader.h"

// Sets or clears kUpToDateBit of entry->flags (other bits untouched) and returns the same answer.
bool VerifyFile(FileEntry* entry);
