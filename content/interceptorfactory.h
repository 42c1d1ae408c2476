#pragma once

class ArchiveAccessManager;
class QString;
class QWebEngineUrlRequestInterceptor;

// The request interceptor chosen by the configuration ("wrapper"/
// "interceptor"). "ForwardRequestInterceptor" serves plain files beside the
// program; anything else gives the archive-backed RequestInterceptor, and the
// "kelzip" scheme handler is then installed on the default profile (owned by
// the interceptor, so deleting the interceptor uninstalls it). Dev mode
// installs it too, over the course folder.
//
// The caller owns the interceptor and installs it on the default profile,
// preferably with setUrlRequestInterceptor. The "kelzip" scheme must have
// been registered before (registerKelzipScheme). archive must outlive the
// interceptor.
QWebEngineUrlRequestInterceptor *createRequestInterceptor(ArchiveAccessManager *archive);

// Dev mode: from now on createRequestInterceptor serves root's loose files
// with "/webapp/" naming courseDir (see DevRequestInterceptor), whatever the
// configuration says. Called before the bridge exists.
// The one-argument createArchiveManager then gives the course folder itself.
void setDevContent(const QString &root, const QString &courseDir);
// The course folder of dev mode; empty outside it.
QString devCourseDir();
