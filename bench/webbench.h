#pragma once

// The in-process web engine of the content benchmarks, set up as the shell
// sets up its own: shared GL contexts, web security off, the "kelzip" scheme.

#include "content/urlscheme.h"

#include <QApplication>
#include <QVector>

#include <memory>

class WebBenchApplication
{
public:
    WebBenchApplication(int argc, char **argv) : m_args(argv, argv + argc)
    {
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        m_args.append(m_webSecurity);
        m_count = m_args.size();
        m_app = std::make_unique<QApplication>(m_count, m_args.data());
        registerKelzipScheme();
    }

private:
    char m_webSecurity[23] = "--disable-web-security";
    QVector<char *> m_args;
    int m_count = 0; // QApplication keeps a reference to it
    std::unique_ptr<QApplication> m_app;
};
