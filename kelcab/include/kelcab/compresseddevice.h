#pragma once

#include <kelcab/kelcab_global.h>

#include <QByteArray>
#include <QIODevice>

namespace kelcab {

// Turns bytes written into a sequence of independently compressed pages of
// 512 KiB, and such a sequence back into the bytes when read. One page record
// is a 32-bit big-endian length N followed by N bytes of qCompress(page, 9)
// output.
//
// Open it read-only over a device positioned at the first record, or
// write-only over a writable device. The device is sequential; pos(), seek()
// and reset() work in positions of the underlying (compressed) bytes and drop
// any page being read.
//
// Reading stops with read() returning -1 and errorString() set when a record
// is truncated, claims more than a page, or does not inflate to its stated
// length. Writing returns -1 when the underlying device refuses a page.
class KELCAB_EXPORT CompressedDevice : public QIODevice
{
public:
    static constexpr int PageSize = 524288;

    explicit CompressedDevice(QIODevice *device, bool ownsDevice = false);
    // Flushes a page being written, then deletes the device if owned.
    ~CompressedDevice() override;

    // Opens unbuffered: the device keeps its own page buffer.
    bool open(OpenMode mode) override;
    // Flushes a page being written before closing.
    void close() override;

    // Compresses and writes out the page being written, if any. False when
    // the underlying device did not take the whole record.
    bool flush();

    bool isSequential() const override;
    qint64 pos() const override;
    qint64 size() const override;
    bool seek(qint64 pos) override;
    bool atEnd() const override;
    bool reset() override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    enum class Record { Loaded, End, Failed };
    Record loadRecord(char *direct, qint64 directCapacity, qint64 *directLength);
    bool fillInput(qint64 needed);
    qint64 fail(const QString &message);
    void dropPage();

    QIODevice *m_device;
    bool m_ownsDevice;
    bool m_failed = false;
    // Uncompressed page being read (m_page[m_cursor, m_pageLength)) or being
    // written (m_page[0, m_fill)).
    QByteArray m_page;
    int m_cursor = 0;
    int m_pageLength = 0;
    int m_fill = 0;
    // Stored bytes read ahead of the current record: m_input[m_inputPos,
    // m_inputEnd). Small records then cost one read of the device.
    QByteArray m_input;
    qint64 m_inputPos = 0;
    qint64 m_inputEnd = 0;
};

} // namespace kelcab
