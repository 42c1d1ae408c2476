#include "content/chunkedcopy.h"

#include "content/archiveexception.h"

#include <QByteArray>
#include <QIODevice>

namespace ChunkedCopy {

qint64 copy(QIODevice *source, QIODevice *target, const std::atomic<bool> *stop)
{
    QByteArray buffer(int(kChunkSize), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        if (stop && stop->load())
            throw ArchiveException(-102, QStringLiteral("stopped: the copy's owner is going"));
        const qint64 got = source->read(buffer.data(), kChunkSize);
        if (got == 0)
            break;
        if (got < 0)
            throw ArchiveException(-101, QStringLiteral("cannot read the source: ")
                                             + source->errorString());
        // A short write is as bad as a failed one: the copy would be cut.
        if (target->write(buffer.constData(), got) != got)
            throw ArchiveException(-100, QStringLiteral("QFS cannot write into target device"));
        total += got;
    }
    return total;
}

} // namespace ChunkedCopy
