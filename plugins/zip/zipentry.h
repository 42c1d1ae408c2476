#pragma once

#include <QString>

#include <atomic>
#include <optional>

class QIODevice;

namespace ZipEntry {

// The entry name as a path relative to the folder it is extracted into:
// backslashes become slashes, "." and empty segments go, a trailing slash
// (a folder entry) stays. Empty when the name would leave that folder or
// anchor itself elsewhere: an absolute name, a drive letter, or ".." that
// climbs above the folder ("a/../b" stays inside and is kept as "b"). A
// folder entry that names the folder itself ("./") gives an empty path.
std::optional<QString> relativePath(const QString &name);

// Streams what source still yields into target in fixed-size chunks, so an
// entry of any size costs one buffer. False when a read fails (a damaged
// entry) or a write stores less than it was given; which one is told by
// readFailed. False as well once stop is raised, checked before each chunk.
bool copy(QIODevice &source, QIODevice &target, bool *readFailed = nullptr,
          const std::atomic<bool> *stop = nullptr);

// True for a well-formed zip without entries (only the end record and
// perhaps a comment), which QuaZip refuses to open.
bool isEmptyArchive(const QString &zipPath);

} // namespace ZipEntry
