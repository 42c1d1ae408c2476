#pragma once

#include <QString>

// The page's local-storage folder, resolved before the QML loads: the web
// profile's storage is pointed at it when the bridge is created.
namespace LocalStorage {

// root + "/" + folder, joined as text: an empty or absolute folder name is
// still appended after the slash.
QString join(const QString &root, const QString &folder);

// Sets "localStoragePath" from "localStorageRootPath" and the folder named in
// group "storage", key "path" (default "storage"), then creates it and
// "contentsPath" with their parents. Creation failures are ignored here: the
// components that use the folders report them.
void prepare();

} // namespace LocalStorage
