#pragma once

#include "Variant.h"

#include "Result.h"

#include <optional>
#include <string>
#include <vector>

namespace zenta {

// Small shared helpers of the program. None throws; failures give the neutral value.

// The name of a user or group of this computer; its number when it has none.
std::string UserName(unsigned uid);
std::string GroupName(unsigned gid);

bool FileExists(const std::string& path);
// False for ""; True for an existing folder, and (as the suite always had it) for an
// existing file too.
bool DirExists(const std::string& path);
// True only for an existing folder (or a link to one).
bool IsFolder(const std::string& path);
// A file's size in bytes; -1 when it cannot be read.
long long FileLength(const std::string& path);
// The same, -1 also for anything but a regular file (a folder of that name).
long long RegularFileLength(const std::string& path);
// Creates every missing folder along an absolute path (open to the user and group only). False
// when a folder cannot be made.
bool CreateFolderPath(const std::string& path);
// Removes the folder with everything in it, read-only and hidden entries too.
// False (with the error in `error`) when something could not be removed.
bool DeleteFolderTree(const std::string& folder, std::string* error = nullptr);
// Bytes available to this user on the folder's file system; 0 when it cannot be measured.
// Trims the caller's variable and appends "/" when missing.
double GetDiskFreeBytes(std::string& folder);
// Free (for this user) and total bytes of the file system holding `folder`, or before it is
// made the nearest folder above it; -1 each when they cannot be read.
struct DiskRoom {
    long long free = -1, total = -1;
};
DiskRoom DiskSpace(const std::string& folder);
// "12.3 MB".
std::string Megabytes(long long bytes);
// Trims the caller's variable; the text in double quotes when it holds a blank.
std::string QuoteIfSpaced(std::string& text);
// Escape for a MySQL string literal: backslash doubled, quote preceded by a backslash; in
// like mode backslashes are doubled twice and "_" and "%" escaped too.
std::string SQLEscape(const std::string& text, bool likeMode = false);
// Double-byte text held as bytes, decoded in the suite's code page; "" for null.
std::string AnsiBytesToString(const Variant& value);
// Sorts [first, last] ascending by byte order.
void QuickSortStrings(std::vector<std::string>& items, int first, int last);
// The processor's identity as 16 hexadecimal digits (CPUID leaf 1, EDX then EAX).
std::string GetProcessorID();

// Folder path with exactly one trailing "/".
std::string WithSlash(const std::string& folder);
std::string ReplaceAll(std::string s, const std::string& from, const std::string& to);
// A whole file's bytes; nothing when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::string& path);
// Replaces a file whole: written beside it under a name starting with "." (so that a reader
// of "*.prom" or "*.ini" never sees it), synced, then renamed over it. A reader sees the old
// file or the new one, never half of one. Why not, when it could not be written.
Result<Done> ReplaceFileWhole(const std::string& path, const std::string& contents,
                              unsigned mode = 0640);
// Writes a file that lives only for a moment (a helper program's input, removed when it is
// done), not synced: a crash may lose it and nothing is lost with it, while a sync of megabytes
// would make the database server's commits on the same disk wait behind it.
Result<Done> WriteScratchFile(const std::string& path, const std::string& contents,
                              unsigned mode = 0600);

} // namespace zenta
