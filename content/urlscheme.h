#pragma once

// Registers the "kelzip" scheme (secure, local, with local access; path
// syntax) with Qt WebEngine. Qt ignores registrations made after the web
// engine has started, so this must run before the first web profile, page or
// view exists: before Main.qml is loaded, or in the DesktopBridge constructor
// as long as the bridge is created before the web view. The application
// object may already exist. Calling it again is harmless. Returns whether
// the scheme is registered afterwards; a call that came too late is logged.
bool registerKelzipScheme();

// Whether "kelzip" is registered.
bool isKelzipSchemeRegistered();
