#pragma once

#include <kelcab/kelcab_global.h>

#include <QFile>

namespace kelcab {

// A file put in place whole or not at all. open() creates it under a hidden
// temporary name in the target's folder (the same volume, so the final
// rename cannot turn into a copy) with the permissions of any new file, 0666
// less the umask. commit() closes it and renames it over the target; until
// then the target keeps its old content. A staged file that is discarded,
// fails to commit or is destroyed uncommitted removes its temporary file.
//
// No sync per file (QSaveFile's): that makes writing many files only as
// fast as whatever else the disk is doing. Callers that need the data on the
// disk sync once, at the end.
//
// fileName() is the temporary name while staged, the target once committed.
// A target that exists and is neither a file nor a link (a device, a folder)
// is refused: it is never replaced by a file.
// Failures are bool results, with errorString() naming the failed step.
class KELCAB_EXPORT StagedFile : public QFile
{
    Q_OBJECT
public:
    explicit StagedFile(const QString &target, QObject *parent = nullptr);
    ~StagedFile() override;

    QString target() const { return m_target; }

    // Creates the temporary file; mode must include WriteOnly. The target's
    // folder must exist.
    bool open(OpenMode mode = QIODevice::WriteOnly) override;
    // Writes what is buffered, closes and renames over the target. On false
    // the target is as it was and the temporary file is gone.
    bool commit();
    // Closes and removes the temporary file; the target is left as it was.
    void discard();

protected:
    qint64 writeData(const char *data, qint64 length) override;

private:
    QString m_target;
    bool m_staged = false;
};

} // namespace kelcab
