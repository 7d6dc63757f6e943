// The root text: the working directory as the script and the messages show it.
#pragma once

#include <string>

// The absolute working directory in the ANSI code page, with forward slashes. False when it
// cannot be read or holds a character that the code page cannot represent exactly.
bool ReadRootPath(std::string& rootPath);
