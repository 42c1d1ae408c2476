#include "content/contentpassword.h"

#include "contentpassword_config.h"

namespace {
const unsigned char kMasked[] = {TAMBERLIN_CONTENT_PASSWORD_MASKED};
const unsigned char kMask[] = {TAMBERLIN_CONTENT_PASSWORD_MASK};
static_assert(sizeof(kMasked) == TAMBERLIN_CONTENT_PASSWORD_LENGTH, "masked length");
static_assert(sizeof(kMask) == sizeof(kMasked), "mask length");
} // namespace

QByteArray contentPassword()
{
    QByteArray out(int(sizeof(kMasked)), Qt::Uninitialized);
    // volatile keeps the compiler from folding the plain text into the binary.
    for (int i = 0; i < out.size(); ++i) {
        const volatile unsigned char m = kMask[i];
        out[i] = char(kMasked[i] ^ m);
    }
    return out;
}
