#pragma once

#include "plugins/storage/keyedcipher.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// The page's SQLite store: a key/value table of obfuscated items and raw SQL
// on the same database. One connection (Qt's default one), used only from
// the thread this object lives in. Every operation reports success; SQL
// errors go to the log only.
class Storage : public QObject
{
    Q_OBJECT
public:
    explicit Storage(QObject *parent = nullptr);
    ~Storage() override;

    // The program's own 64-bit key of the value cipher.
    static quint64 storageKey();
    // Keys as stored: every UTF-16 code unit shifted by 3 (mod 65536).
    static QString storedKey(const QString &key);
    static QString pageKey(const QString &stored);

    // Opens (creating if needed) the database file at path, replacing any
    // connection opened before. A file that is not a database is left as it
    // is and the store stays closed.
    bool init(const QString &path);
    void close();
    bool isOpen() const;

    bool sql(const QString &query, const QVariantList &values, QVariantList &rows);
    // Runs query once per element of valueLists; stops at the first failure
    // (earlier runs stay applied).
    bool sqlBatch(const QString &query, const QVariantList &valueLists, QVariantList &results);
    bool transaction();
    bool commit();
    bool rollback();

    bool setItem(const QString &key, const QString &value);
    // All items or none; inside an open transaction the items join it.
    bool setItems(const QVariantMap &items);
    // value stays null when the key is not stored.
    bool getItem(const QString &key, QString &value);
    bool getItems(const QStringList &keys, QVariantMap &items);
    bool removeItems(const QStringList &keys);
    bool getKeys(const QString &pattern, QStringList &keys);

    const KeyedCipher &cipher() const { return m_cipher; }

private:
    bool ready(const char *operation) const;

    QSqlDatabase m_db;
    KeyedCipher m_cipher;
};
