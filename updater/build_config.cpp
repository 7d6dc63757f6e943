// Values fixed per build by CMake.
#include "texts.h"

#define WIDEN2(x) L##x
#define WIDEN(x) WIDEN2(x)

const wchar_t kManifestUrl[] = WIDEN(UPDATER_MANIFEST_URL);
const DWORD kNetworkTimeoutMs = UPDATER_NETWORK_TIMEOUT_MS;
