#pragma once

#include "plugins/storage/keyedcipher.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <limits>

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
    // From the stored form as SQLite gives it back.
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

    // Keys whose stored form would not read back as they are (lone
    // surrogates, U+D7FD..U+D7FF, U+FFFB, U+FFFC, U+10F400..U+10FFFF, a
    // leading U+FEFC) are refused, so every key saved works in every call.
    bool setItem(const QString &key, const QString &value);
    // All items or none; inside an open transaction the items join it.
    bool setItems(const QVariantMap &items);
    // value stays null when the key is not stored; a stored value that does
    // not decrypt (altered on disk) fails, as it does in getItems.
    bool getItem(const QString &key, QString &value);
    // Stops once keys and values hold more than budget bytes as UTF-16: an
    // answer that large is refused anyway, so reading on would only cost memory.
    bool getItems(const QStringList &keys, QVariantMap &items,
                  qint64 budget = std::numeric_limits<qint64>::max());
    bool removeItems(const QStringList &keys);
    bool getKeys(const QString &pattern, QStringList &keys);

    const KeyedCipher &cipher() const { return m_cipher; }

private:
    bool ready(const char *operation) const;
    static bool storableKeys(const char *operation, const QStringList &keys);
    bool decrypted(const QString &stored, QString &value) const;
    bool batch(const char *operation, const QString &statement, const QList<QVariantList> &columns);

    QSqlDatabase m_db;
    KeyedCipher m_cipher;
};
