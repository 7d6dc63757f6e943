// Registers the livery pack with each of the simulator's per-user folders found in the
// working directory.
#include <iostream>
#include <string>

#include "entry_script.h"
#include "root_path.h"
#include "texts.h"

int main() {
    std::string rootPath;
    if (!ReadRootPath(rootPath)) {
        // Without an exact root text the scripts would name a wrong pack folder: write none.
        std::cerr << kCannotReadCurrentDirectory << std::endl;
        return 1;
    }
    for (const char* folderName : kUserFolders) InstallEntryScript(folderName, rootPath);
    return 0;
}
