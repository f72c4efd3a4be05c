// File and path helpers shared by the store file, start-up, per-call temporary files and the
// log. Paths are plain byte strings with '/' as the separator.
#pragma once

#include <string>
#include <vector>

// Directory of the host program's executable (/proc/self/exe), without a trailing '/'.
// False when the path cannot be read.
bool ModuleDirectory(std::string& dir);

// Canonical absolute form of a path: a path beginning with '.' is first taken relative to
// ModuleDirectory, any other relative path relative to the current directory; "." and ".."
// are then removed lexically (symbolic links are not followed). False for an empty path or
// when the module directory is unknown.
bool ResolvePath(const std::string& path, std::string& resolved);

// True when the path exists and is not a directory; false for an empty path.
bool FileExists(const std::string& path);

// True when ResolvePath succeeds and names an existing directory.
bool DirectoryExists(const std::string& path);

// Creates every missing level of a directory path, walking it from the left; failures to
// create a level are ignored. False only for an empty path.
bool EnsureDirectory(const std::string& path);

// Deletes a file, giving its owner write permission first (the counterpart of clearing a
// read-only attribute). False when the file does not exist or either step fails.
bool ForceDeleteFile(const std::string& path);

// Splits at every delimiter after skipping leading delimiters; empty pieces between and after
// delimiters are kept ("a,,b," gives a, "", b, ""; "" gives one empty piece).
std::vector<std::string> SplitString(const std::string& text, char delimiter);

// Directory of the module (shared library or program) that holds this code, without a
// trailing '/'; empty when it cannot be found.
std::string LibraryDirectory();
