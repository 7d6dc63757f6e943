// Registration of the pack in one per-user folder of the simulator.
#pragma once

#include <string>

// Writes Entry.lua below folderName (relative to the working directory), naming the pack folder
// inside rootPath, and prints exactly one console line saying what happened.
void InstallEntryScript(std::string folderName, std::string rootPath);
