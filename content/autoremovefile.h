#pragma once

#include <QFile>
#include <QFileInfo>

// A file that is removed from disk when the object goes. The copy cache holds
// "temporary" copies through shared pointers, so a copy disappears when it is
// replaced or when the cache dies. Removal is armed only by a successful open
// for writing: a file that could not be written was never ours to delete.
class AutoRemoveFile : public QFile
{
    Q_OBJECT
public:
    using QFile::QFile;
    using QFile::open;

    ~AutoRemoveFile() override
    {
        close();
        // Only a regular file: a target such as a device node must survive.
        if (m_armed && QFileInfo(fileName()).isFile())
            remove();
    }

    bool open(OpenMode mode) override
    {
        const bool ok = QFile::open(mode);
        m_armed = m_armed || (ok && (mode & WriteOnly));
        return ok;
    }

private:
    bool m_armed = false;
};
