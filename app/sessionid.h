#pragma once

#include <QString>

// The kernel's audit session of this process as lower-case hexadecimal, or an
// empty string when it is unknown (no such file, unreadable, or the "unset"
// value 4294967295). Part of the single-instance ID, so that each login
// session gets its own master.
QString logonSessionId();

// The same, read from the given file (tests feed their own).
QString logonSessionIdFromFile(const QString &path);
