#include "content/urlscheme.h"

#include "bridge/constants.h"

#include <QLoggingCategory>
#include <QWebEngineUrlScheme>

Q_LOGGING_CATEGORY(lcUrlScheme, "UrlScheme")

namespace {
QByteArray schemeName()
{
    return Constants::name(Constants::UrlSchema::kelzip).toLatin1();
}
} // namespace

bool isKelzipSchemeRegistered()
{
    return QWebEngineUrlScheme::schemeByName(schemeName()).name() == schemeName();
}

bool registerKelzipScheme()
{
    if (isKelzipSchemeRegistered())
        return true;
    QWebEngineUrlScheme scheme(schemeName());
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalScheme
                    | QWebEngineUrlScheme::LocalAccessAllowed);
    QWebEngineUrlScheme::registerScheme(scheme);
    if (isKelzipSchemeRegistered())
        return true;
    qCCritical(lcUrlScheme) << "the kelzip scheme was registered after the web engine started;"
                               " the course cannot load";
    return false;
}
