#include "app/mergedarguments.h"

#include <QByteArray>
#include <QString>

MergedArguments::MergedArguments(int argc, char **argv, const std::vector<const char *> &extra)
{
    m_argv.reserve(size_t(qMax(argc, 0)) + extra.size() + 1);
    for (int i = 0; i < argc; ++i)
        m_argv.push_back(argv[i]);
    for (const char *argument : extra) {
        bool present = false;
        for (const char *existing : m_argv)
            present = present || (existing && qstricmp(existing, argument) == 0);
        // The extras are never written through: Qt only reorders the array.
        if (!present)
            m_argv.push_back(const_cast<char *>(argument));
    }
    m_argc = int(m_argv.size());
    m_argv.push_back(nullptr);
}

QStringList MergedArguments::toStringList() const
{
    QStringList out;
    for (int i = 0; i < m_argc; ++i)
        out << QString::fromLocal8Bit(m_argv[size_t(i)]);
    return out;
}

const std::vector<const char *> &MergedArguments::extraArguments()
{
    static const std::vector<const char *> extras{"--disable-web-security"};
    return extras;
}
