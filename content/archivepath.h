#pragma once

#include <QString>

namespace ArchivePath {

// Turns a decoded URL or page path into an archive-relative one: backslashes
// count as "/", empty and "." components go, ".." climbs one level, and no
// leading "/" remains. Returns a null string when the path would climb above
// the archive's root or holds a NUL character, so that nothing outside the
// tree can be named.
QString normalise(const QString &path);
// The archive path of a decoded URL path: a leading Windows drive ("/C:/")
// goes, the rest is normalised. The interceptor and the scheme handler both
// use it, so that what one redirects the other can serve.
QString fromUrlPath(const QString &path);

} // namespace ArchivePath
