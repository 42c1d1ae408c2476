#pragma once

#include <QByteArray>

// The password of encrypted zip content archives (14 bytes), rebuilt on each
// call from the masked bytes compiled into the program.
QByteArray contentPassword();
