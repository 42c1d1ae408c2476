#pragma once

#include <kelcab/entry.h>

#include <QString>

namespace kelcab {

constexpr qint64 kHeaderSize = 34;
constexpr quint16 kWriterVersion = 2;

class ArchivePrivate
{
public:
    QString path;
    quint16 version = 0;
    qint64 dataOffset = 0;
    qint64 treeOffset = 0;
    Entry root;
};

} // namespace kelcab
