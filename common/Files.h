// File names and the few file operations the builder and the simulated drives
// need. On Linux they are the standard library's file system; on Windows they are
// the ANSI calls every Windows since 95 exports, so the 32-bit program loads on
// the systems before NT as well. Names follow the platform: on Windows both / and
// \ separate parts and a drive letter starts a name.
#pragma once

#include <cstdint>
#include <string>

// The last part of a name ("C:\DIR\FLASH.EXE": "FLASH.EXE").
std::string PathFileName(const std::string& path);
// Everything before the last part ("dir/name": "dir"; "name": "").
std::string PathParent(const std::string& path);
// The name of `name` inside `directory`; `name` alone when the directory is empty.
std::string PathJoined(const std::string& directory, const std::string& name);
// The name with its last part's extension replaced by `extension` (".INI").
std::string PathWithExtension(const std::string& path, const std::string& extension);
// True for a relative name that never climbs out of its folder (no root, no "..").
bool PathStaysInside(const std::string& path);
// The name made absolute against the working directory; false with the reason.
bool AbsolutePath(const std::string& path, std::string& absolute, std::string& error);

enum class FileKind { Missing, Regular, Directory, Other, Unknown };
// What the name refers to, links followed. Unknown when the system could not say
// (the reason in `error` when given).
FileKind KindOfFile(const std::string& path, std::string* error = nullptr);
// True when something has the name, a link to nowhere included.
bool NameTaken(const std::string& path);
// True when the name is itself a link (on Windows a reparse point: a symbolic link
// or a junction); links on the way to it are followed. False when nothing has the
// name, and false with the reason in `error` when the system could not say.
bool NameIsLink(const std::string& path, std::string& error);
// True when both names refer to one existing file.
bool SameFile(const std::string& a, const std::string& b);
// The size of a plain file; false when it has none.
bool FileSizeOf(const std::string& path, std::uint64_t& size);
// Gives `from` the name `to`, replacing a file of that name.
bool RenameReplacing(const std::string& from, const std::string& to);
// Removes a file; false when nothing was removed.
bool RemoveFile(const std::string& path);
