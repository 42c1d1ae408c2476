#include <kelcab/stagedfile.h>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace kelcab {

namespace {

// Replaces to with from in one step: readers see the old file or the new.
bool replace(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    const QString nativeFrom = QDir::toNativeSeparators(from), nativeTo = QDir::toNativeSeparators(to);
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(nativeFrom.utf16()),
                    reinterpret_cast<const wchar_t *>(nativeTo.utf16()), MOVEFILE_REPLACE_EXISTING))
        return true;
    *error = qt_error_string(int(GetLastError()));
#else
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(strerror(errno));
#endif
    return false;
}

} // namespace

StagedFile::StagedFile(const QString &target, QObject *parent)
    : QFile(parent), m_target(QFileInfo(target).absoluteFilePath())
{
}

StagedFile::~StagedFile()
{
    discard();
}

bool StagedFile::open(OpenMode mode)
{
    if (!(mode & QIODevice::WriteOnly)) {
        setErrorString(QStringLiteral("a staged file is opened for writing"));
        return false;
    }
    discard();
    // A device or a folder is never replaced by a file; a link is, as any file.
    const QFileInfo existing(m_target);
    if (existing.exists() && !existing.isFile() && !existing.isSymLink()) {
        setErrorString(QStringLiteral("%1 is not a regular file").arg(m_target));
        return false;
    }
    const QString folder = existing.absolutePath();
    // NewOnly: a name taken meanwhile is never opened as ours.
    mode = (mode & ~(QIODevice::Append | QIODevice::Truncate)) | QIODevice::NewOnly;
    for (int attempt = 0; attempt < 16; ++attempt) {
        setFileName(folder + QStringLiteral("/.kelcab-")
                    + QString::number(QRandomGenerator::global()->generate64(), 36));
        if (QFile::open(mode)) {
            m_staged = true;
            return true;
        }
        if (!exists())
            break;
    }
    setErrorString(QStringLiteral("cannot create a temporary file in %1: %2").arg(folder, errorString()));
    return false;
}

bool StagedFile::commit()
{
    if (!m_staged) {
        setErrorString(QStringLiteral("%1 was not staged").arg(m_target));
        return false;
    }
    const QString temp = fileName();
    QString error;
    // Closing writes what is buffered; a full disk shows here at the latest.
    if (isOpen() && !flush())
        error = QStringLiteral("cannot write %1: %2").arg(temp, errorString());
    QFile::close();
    if (error.isEmpty() && QFile::error() != QFileDevice::NoError)
        error = QStringLiteral("cannot write %1: %2").arg(temp, errorString());
    if (error.isEmpty() && !replace(temp, m_target, &error))
        error = QStringLiteral("cannot rename %1 to %2: %3").arg(temp, m_target, error);
    if (error.isEmpty()) {
        m_staged = false;
        setFileName(m_target);
        return true;
    }
    discard();
    setErrorString(error);
    return false;
}

// The rest of a short write is tried again: a full disk then fails with a
// reason in errorString() instead of a bare short count.
qint64 StagedFile::writeData(const char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const qint64 n = QFile::writeData(data + done, length - done);
        if (n <= 0)
            return done > 0 ? done : n;
        done += n;
    }
    return done;
}

void StagedFile::discard()
{
    QFile::close();
    if (m_staged)
        QFile::remove(fileName());
    m_staged = false;
}

} // namespace kelcab
