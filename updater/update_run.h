// The whole update: log, manifest, verification, downloads, outcome.
#pragma once

struct UpdateSession;

// 1: second copy or missing/invalid manifest; 0: everything current or downloaded and verified;
// 2: some file failed; 3: cancelled by the user.
int RunUpdate(UpdateSession* session);
