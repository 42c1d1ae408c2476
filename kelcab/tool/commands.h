#pragma once

#include <QStringList>

namespace kelcabtool {

// Exit codes of the kelcab tool.
enum ExitCode {
    Ok = 0,
    Usage = 1,          // unknown command, wrong arguments
    Problems = 1,       // pack --check: names listed that would not serve as written
    BadArchive = 2,     // archive missing, not a kelcab file, or damaged header/tree
    NotFound = 3,       // cat: no such file in the archive
    BadContent = 4,     // an entry cannot be read, fails its checksum, or has an unsafe name
    WriteFailed = 5,    // pack or extract cannot read the source or write the output
};

// Runs one command; arguments exclude the program name.
int run(const QStringList &arguments);

} // namespace kelcabtool
