#include <kelcab/iodeviceview.h>

namespace kelcab {

IODeviceView::IODeviceView(QIODevice *device, qint64 offset, qint64 size)
    : m_device(device)
    , m_offset(offset)
    , m_size(size)
{
    if (m_device && !m_device->isSequential())
        m_device->seek(m_offset);
}

IODeviceView::~IODeviceView()
{
    delete m_device;
}

bool IODeviceView::isSequential() const
{
    return m_device && m_device->isSequential();
}

qint64 IODeviceView::size() const
{
    return m_size;
}

bool IODeviceView::placeDevice()
{
    if (!m_device)
        return false;
    const qint64 target = m_offset + pos();
    if (m_device->isSequential() || m_device->pos() == target)
        return true;
    if (m_device->seek(target))
        return true;
    setErrorString(m_device->errorString());
    return false;
}

qint64 IODeviceView::readData(char *data, qint64 maxSize)
{
    maxSize = qMin(maxSize, m_size - pos());
    if (maxSize <= 0)
        return 0;
    if (!placeDevice())
        return -1;
    const qint64 n = m_device->read(data, maxSize);
    if (n < 0)
        setErrorString(m_device->errorString());
    return n;
}

// Bounded like reads: a window must never spill into its neighbours.
qint64 IODeviceView::writeData(const char *data, qint64 maxSize)
{
    maxSize = qMin(maxSize, m_size - pos());
    if (maxSize <= 0) {
        setErrorString(QStringLiteral("write beyond the end of the window"));
        return -1;
    }
    if (!placeDevice())
        return -1;
    const qint64 n = m_device->write(data, maxSize);
    if (n < 0)
        setErrorString(m_device->errorString());
    return n;
}

} // namespace kelcab
