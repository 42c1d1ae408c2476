#pragma once

#include <QStringList>

#include <vector>

// The command line that the application object and the web engine see: the
// process's own arguments, then each extra argument not already present (the
// comparison ignores ASCII case). Only pointers are held: the strings stay
// the process's and the static extras. QApplication keeps argc by reference
// and argv, so this object must outlive the application object.
class MergedArguments
{
public:
    MergedArguments(int argc, char **argv,
                    const std::vector<const char *> &extra = extraArguments());

    int &argc() { return m_argc; }
    char **argv() { return m_argv.data(); }
    QStringList toStringList() const;

    // Built-in extras: "--disable-web-security" (the web engine reads it).
    static const std::vector<const char *> &extraArguments();

private:
    int m_argc = 0;
    std::vector<char *> m_argv;  // m_argc pointers and a terminating null
};
