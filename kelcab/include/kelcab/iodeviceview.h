#pragma once

#include <kelcab/kelcab_global.h>

#include <QIODevice>

namespace kelcab {

// A window [offset, offset + size) of another, random-access device, seen as a
// device of its own. Owns the device. Only the library creates views (the
// archive hands them out for stored entries).
//
// Every read and write is clamped to the window and re-positions the
// underlying device first, so the window stays exact whatever else moved it.
class KELCAB_EXPORT IODeviceView : public QIODevice
{
public:
    ~IODeviceView() override;

    bool isSequential() const override;
    qint64 size() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    friend class Archive;
    IODeviceView(QIODevice *device, qint64 offset, qint64 size);

    bool placeDevice();

    QIODevice *m_device;
    qint64 m_offset;
    qint64 m_size;
};

} // namespace kelcab
