#include "entry_script.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "texts.h"

namespace fs = std::filesystem;

namespace {

enum class FolderState { Present, Absent, Unknown };

// A plain file of that name counts as absent; "not found" is an answer, other errors are not.
FolderState TestFolder(const std::string& folderName) {
    std::error_code error;
    const fs::file_status status = fs::status(folderName, error);
    if (status.type() == fs::file_type::directory) return FolderState::Present;
    if (!error || status.type() == fs::file_type::not_found) return FolderState::Absent;
    return FolderState::Unknown;
}

// Text mode turns each newline into CRLF; an existing script is cut to zero length first. Every
// line is flushed, and a failed write, flush or close makes the whole write fail.
bool WriteScript(const std::string& scriptPath, const std::string& rootPath) {
    std::ofstream script(scriptPath.c_str(), std::ios::out | std::ios::trunc);
    if (!script.is_open()) return false;
    for (const char* line : kScriptHead) script << line << std::endl;
    script << kMountLineStart << rootPath << kMountLineEnd << std::endl;
    script << kScriptTail << std::endl;
    script.close();
    return !script.fail();
}

void PrintCannotWrite(const std::string& folderName, const std::string& rootPath) {
    std::cerr << kCannotWrite << rootPath << '\\' << folderName << kModFolder << kScriptFile
              << std::endl;
}

}  // namespace

void InstallEntryScript(std::string folderName, std::string rootPath) {
    switch (TestFolder(folderName)) {
    case FolderState::Absent:
        std::cout << kFolderMissingStart << folderName << kFolderMissingEnd << std::endl;
        return;
    case FolderState::Unknown:
        PrintCannotWrite(folderName, rootPath);
        return;
    case FolderState::Present:
        break;
    }

    const std::string modFolder = folderName + kModFolder;
    std::error_code error;
    fs::create_directories(modFolder, error);  // existing levels are accepted without error
    if (error || !WriteScript(modFolder + kScriptFile, rootPath)) {
        PrintCannotWrite(folderName, rootPath);
        return;
    }
    std::cout << kScriptAddedStart << folderName << kScriptAddedEnd << std::endl;
}
