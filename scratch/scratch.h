// Scratch files that a killed process may leave behind, and their safe removal.
//
// A scratch file is claimed by its creator: an advisory lock on the open descriptor, which
// the kernel drops when the process ends however it ends. A sweep removes only files that
// nobody claims, that belong to this user and that have not been touched for a while (the
// moment between creating a file and locking it), so it never takes a live process's file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace scratch {

// Creates a new file from a mkstemp template ("XXXXXX" followed by `suffix_length` more
// characters; the X's are replaced by the name made), owner-only, and claims it. The claim
// lasts while the returned descriptor is open. -1 on failure with errno set.
int CreateClaimed(std::string& path_template, int suffix_length = 0);

// Replaces the file's contents so that a reader (and a crash) sees the old or the new file,
// never a part: the bytes go to a claimed file beside it, which is synced and renamed over
// it, and the folder is synced. Images killed writers left beside the file are swept first.
// The new file keeps the replaced file's mode (0644 less the umask for a new one), or is
// owner-only with `owner_only`. 0, or the errno of the failed step; on failure the old file
// is untouched and nothing is left beside it.
int WriteAtomically(const std::string& path, const void* data, size_t length, bool owner_only = false);

// The folder for temporary files: $TMP, else $TMPDIR, else /tmp.
std::string TemporaryFolder();

// Files untouched for less than this are never swept.
constexpr int kMinAgeSeconds = 60;

// Removes the unclaimed files of this user in `dir` named `prefix` followed by six template
// characters. The number removed.
size_t SweepUnclaimed(const std::string& dir, const std::string& prefix, int min_age_seconds = kMinAgeSeconds);
// The same for the names `is_scratch` accepts.
size_t SweepUnclaimed(const std::string& dir, const std::function<bool(const std::string& name)>& is_scratch,
                      int min_age_seconds = kMinAgeSeconds);

}  // namespace scratch
