#pragma once

#include <kelcab/kelcab_global.h>

#include <QString>

class QIODevice;

namespace kelcab {

class KELCAB_EXPORT FSUtils
{
public:
    // Copies source to target, chunkSize bytes at a time, until source reads
    // 0 or fails; returns the bytes written. Throws std::runtime_error
    // "Target device cannot be written" when target refuses a write.
    static qint64 copy(QIODevice &source, QIODevice &target, qint64 chunkSize);

    // True for audio, video and image names: a MIME type name starting with
    // "audio", "video" or "image", or a file name ending (in any letter case)
    // with .webm, .mp4, .oga, .ogg, .mp3, .jpg, .jpeg, .gif or .png.
    static bool isMediaFileName(const QString &fileName);

private:
    FSUtils() = delete;
};

} // namespace kelcab
