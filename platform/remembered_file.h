// The file access of the remembered lists (remembered.h), one file per platform:
// platform/posix/remembered_file.cpp, platform/windows/remembered_file.cpp. Paths are UTF-8.
#pragma once

#include <cstddef>

// Reads the file's first bytes, at most capacity, without waiting (a pipe at its path must not
// stall the mixer); false when it cannot be read.
bool ReadListFile(const char* path, char* text, size_t capacity, size_t* length);

// Appends one line (its line feed included) in one write, so that two programs appending at
// once never mix their lines; a last line left without its line feed (a program stopped
// halfway) is ended first. Makes the file's folder when it is missing. Failures are silent:
// the entry then keeps its place for this run only.
void AppendListLine(const char* path, const char* line, size_t length);
