#pragma once

#include <QtGlobal>

#include <atomic>

class QIODevice;

namespace ChunkedCopy {

constexpr qint64 kChunkSize = 1048576;

// Copies everything that source still yields into target through one buffer
// of kChunkSize bytes and returns the number of bytes written. A write that
// stores less than it was given throws ArchiveException -100 "QFS cannot
// write into target device"; a failed read (a damaged entry) throws -101 with
// the device's error, so that a cut copy is never taken for a whole one. A
// stop raised meanwhile throws -102 before the next chunk.
qint64 copy(QIODevice *source, QIODevice *target, const std::atomic<bool> *stop = nullptr);

} // namespace ChunkedCopy
