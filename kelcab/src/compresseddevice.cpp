#include <kelcab/compresseddevice.h>

#include "pagecodec_p.h"

namespace kelcab {

using detail::kPageSize;

CompressedDevice::CompressedDevice(QIODevice *device, bool ownsDevice)
    : m_device(device)
    , m_ownsDevice(ownsDevice)
{
}

CompressedDevice::~CompressedDevice()
{
    if (isOpen() && isWritable())
        flush();
    if (m_ownsDevice)
        delete m_device;
}

bool CompressedDevice::open(OpenMode mode)
{
    if (!m_device) {
        setErrorString(QStringLiteral("no underlying device"));
        return false;
    }
    if (((mode & ReadOnly) && !m_device->isReadable()) || ((mode & WriteOnly) && !m_device->isWritable())) {
        setErrorString(QStringLiteral("underlying device is not open in a matching mode"));
        return false;
    }
    dropPage();
    m_fill = 0;
    return QIODevice::open(mode | Unbuffered);
}

void CompressedDevice::close()
{
    if (isOpen() && isWritable())
        flush();
    QIODevice::close();
}

bool CompressedDevice::flush()
{
    if (m_fill == 0)
        return true;
    const QByteArray record = detail::compressPageRecord(m_page.constData(), m_fill);
    m_fill = 0;
    if (m_device->write(record) != record.size()) {
        setErrorString(QStringLiteral("compressed page cannot be written: %1").arg(m_device->errorString()));
        return false;
    }
    return true;
}

bool CompressedDevice::isSequential() const
{
    return true;
}

qint64 CompressedDevice::pos() const
{
    // Bytes read ahead are not consumed yet.
    return m_device ? m_device->pos() - (m_inputEnd - m_inputPos) : 0;
}

qint64 CompressedDevice::size() const
{
    return -1;
}

bool CompressedDevice::seek(qint64 pos)
{
    if (!m_device)
        return false;
    if (isWritable() && !flush())
        return false;
    dropPage();
    return m_device->seek(pos);
}

bool CompressedDevice::reset()
{
    if (!m_device)
        return false;
    if (isWritable() && !flush())
        return false;
    dropPage();
    return m_device->reset();
}

bool CompressedDevice::atEnd() const
{
    if (m_failed || !isOpen())
        return true;
    return m_cursor == m_pageLength && m_inputPos == m_inputEnd && QIODevice::atEnd() && m_device->atEnd();
}

void CompressedDevice::dropPage()
{
    m_failed = false;
    m_cursor = m_pageLength = 0;
    m_inputPos = m_inputEnd = 0;
}

qint64 CompressedDevice::fail(const QString &message)
{
    m_failed = true;
    m_cursor = m_pageLength = 0;
    setErrorString(message);
    return -1;
}

namespace {
// Smallest read-ahead: a whole small record, and most of a large one.
constexpr qint64 kReadAhead = 64 * 1024;
} // namespace

bool CompressedDevice::fillInput(qint64 needed)
{
    if (m_inputEnd - m_inputPos >= needed)
        return true;
    // Keep the unread bytes, then read at least what is needed, more when the
    // stored range holds more (a view never reads past its window).
    const qint64 kept = m_inputEnd - m_inputPos;
    qint64 want = qMax(needed, kReadAhead);
    if (!m_device->isSequential())
        want = qMax(needed, qMin(want, kept + (m_device->size() - m_device->pos())));
    if (m_input.size() < want)
        m_input.resize(int(want));
    if (kept > 0 && m_inputPos > 0)
        memmove(m_input.data(), m_input.constData() + m_inputPos, size_t(kept));
    m_inputPos = 0;
    m_inputEnd = kept;
    while (m_inputEnd < needed) {
        const qint64 n = m_device->read(m_input.data() + m_inputEnd, want - m_inputEnd);
        if (n < 0) {
            fail(QStringLiteral("compressed data cannot be read: %1").arg(m_device->errorString()));
            return false;
        }
        if (n == 0)
            return false;
        m_inputEnd += n;
    }
    return true;
}

CompressedDevice::Record CompressedDevice::loadRecord(char *direct, qint64 directCapacity, qint64 *directLength)
{
    if (!fillInput(8)) {
        if (m_failed)
            return Record::Failed;
        if (m_inputEnd == m_inputPos)
            return Record::End;
        fail(QStringLiteral("page record is truncated"));
        return Record::Failed;
    }
    const char *header = m_input.constData() + m_inputPos;
    const quint32 recordLength = detail::readBigEndian32(header);
    const quint32 pageLength = detail::readBigEndian32(header + 4);
    if (recordLength == 0xFFFFFFFFu || recordLength <= 4) {
        fail(QStringLiteral("page record of %1 bytes is damaged").arg(qint32(recordLength)));
        return Record::Failed;
    }
    const qint64 streamLength = qint64(recordLength) - 4;
    if (streamLength > detail::maxCompressedPageSize()) {
        fail(QStringLiteral("page record of %1 bytes is longer than any page").arg(recordLength));
        return Record::Failed;
    }
    const qint64 buffered = m_inputEnd - m_inputPos - 8;
    if (!m_device->isSequential() && streamLength > buffered + (m_device->size() - m_device->pos())) {
        fail(QStringLiteral("page record of %1 bytes runs past the end of the stored data").arg(recordLength));
        return Record::Failed;
    }
    if (pageLength == 0 || pageLength > quint32(kPageSize)) {
        fail(QStringLiteral("page claims %1 bytes; a page holds 1 to %2").arg(pageLength).arg(kPageSize));
        return Record::Failed;
    }
    if (!fillInput(8 + streamLength)) {
        if (!m_failed)
            fail(QStringLiteral("page record is truncated"));
        return Record::Failed;
    }
    const char *stream = m_input.constData() + m_inputPos + 8;
    m_inputPos += 8 + streamLength;

    QString error;
    // A caller with room for the whole page gets it inflated in place: no copy.
    if (direct && directCapacity >= qint64(pageLength)) {
        if (!detail::inflatePage(stream, streamLength, direct, int(pageLength), &error)) {
            fail(error);
            return Record::Failed;
        }
        *directLength = pageLength;
        return Record::Loaded;
    }
    if (m_page.size() < int(pageLength))
        m_page.resize(int(pageLength));
    if (!detail::inflatePage(stream, streamLength, m_page.data(), int(pageLength), &error)) {
        fail(error);
        return Record::Failed;
    }
    m_cursor = 0;
    m_pageLength = int(pageLength);
    *directLength = 0;
    return Record::Loaded;
}

qint64 CompressedDevice::readData(char *data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    if (maxSize <= 0)
        return 0;
    if (m_cursor == m_pageLength) {
        qint64 direct = 0;
        switch (loadRecord(data, maxSize, &direct)) {
        case Record::End:
            return 0;
        case Record::Failed:
            return -1;
        case Record::Loaded:
            if (direct > 0)
                return direct;
            break;
        }
    }
    const qint64 n = qMin<qint64>(m_pageLength - m_cursor, maxSize);
    memcpy(data, m_page.constData() + m_cursor, size_t(n));
    m_cursor += int(n);
    return n;
}

qint64 CompressedDevice::writeData(const char *data, qint64 maxSize)
{
    // Without a writable device a full page could never leave the buffer.
    if (!m_device || !m_device->isWritable()) {
        setErrorString(QStringLiteral("underlying device is not writable"));
        return -1;
    }
    if (m_page.size() < kPageSize)
        m_page.resize(kPageSize);
    qint64 done = 0;
    while (done < maxSize) {
        const int n = int(qMin<qint64>(kPageSize - m_fill, maxSize - done));
        memcpy(m_page.data() + m_fill, data + done, size_t(n));
        m_fill += n;
        done += n;
        if (m_fill == kPageSize && !flush())
            return -1;
    }
    return done;
}

} // namespace kelcab
