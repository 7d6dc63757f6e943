// The run log is standard output (redirected to Updater\log_updater.lst by the run).
#pragma once

// Writes one message (wide printf format) then a lone line feed; text outside ASCII as UTF-8.
void LogLine(const wchar_t* format, ...);
