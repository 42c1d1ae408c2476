#include "plugins/storage/storage.h"

#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

Q_LOGGING_CATEGORY(lcStorage, "Storage")

namespace {

// The storage key, in two halves joined at run time.
const quint32 kKeyHigh = 0xA7C35E19u;
const quint32 kKeyLow = 0x3D86F2B4u;

constexpr ushort kKeyShift = 3;

const char kSchema[] =
    "create table if not exists stored_values(key text primary key, value text)";
const char kReplace[] = "replace into stored_values (key, value) values (?, ?)";

QString shifted(const QString &text, ushort by)
{
    QString out = text;
    for (QChar &c : out)
        c = QChar(ushort(c.unicode() + by));
    return out;
}

// The stored keys as one IN list of SQL string literals: quotes doubled, the
// whole key quoted (line breaks included).
QString inList(const QStringList &keys)
{
    QStringList literals;
    literals.reserve(keys.size());
    for (const QString &key : keys) {
        QString stored = Storage::storedKey(key);
        stored.replace(QLatin1Char('\''), QLatin1String("''"));
        literals.append(QLatin1Char('\'') + stored + QLatin1Char('\''));
    }
    return literals.join(QLatin1String(", "));
}

void logError(const char *operation, const QSqlError &error)
{
    qCDebug(lcStorage).noquote() << operation << error.text();
}

} // namespace

Storage::Storage(QObject *parent)
    : QObject(parent), m_cipher(storageKey())
{
}

Storage::~Storage()
{
    close();
}

quint64 Storage::storageKey()
{
    return (quint64(kKeyHigh) << 32) | kKeyLow;
}

QString Storage::storedKey(const QString &key)
{
    return shifted(key, kKeyShift);
}

QString Storage::pageKey(const QString &stored)
{
    return shifted(stored, ushort(-kKeyShift));
}

bool Storage::isOpen() const
{
    return m_db.isValid() && m_db.isOpen();
}

bool Storage::ready(const char *operation) const
{
    if (isOpen())
        return true;
    qCDebug(lcStorage) << operation << "no database is open";
    return false;
}

void Storage::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    // The connection can only go once no handle refers to it.
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

bool Storage::init(const QString &path)
{
    close();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    m_db.setDatabaseName(path);
    if (!m_db.open()) {
        qCWarning(lcStorage).noquote() << "Storage::init cannot open" << path << m_db.lastError().text();
        close();
        return false;
    }
    QSqlQuery query(m_db);
    if (!query.exec(QLatin1String(kSchema))) {
        // Typically a file that is not a database: SQLite has not written to
        // it, and neither does anything here.
        qCWarning(lcStorage).noquote() << "Storage::init" << path << query.lastError().text();
        query.clear();
        close();
        return false;
    }
    return true;
}

bool Storage::sql(const QString &query, const QVariantList &values, QVariantList &rows)
{
    if (!ready("Storage::sql"))
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(query)) {
        logError("Storage::sql", q.lastError());
        return false;
    }
    for (const QVariant &value : values)
        q.addBindValue(value);
    if (!q.exec()) {
        logError("Storage::sql", q.lastError());
        return false;
    }
    if (!q.isSelect())
        return true;
    const QSqlRecord record = q.record();
    const int columns = record.count();
    QStringList names;
    names.reserve(columns);
    for (int i = 0; i < columns; ++i)
        names.append(record.fieldName(i));
    while (q.next()) {
        QVariantMap row;
        // The driver reads NULL as a null string, which the page would see
        // as "".
        for (int i = 0; i < columns; ++i)
            row.insert(names.at(i), q.isNull(i) ? QVariant::fromValue(nullptr) : q.value(i));
        rows.append(row);
    }
    if (q.lastError().isValid()) { // a step that failed half way through the rows
        logError("Storage::sql", q.lastError());
        return false;
    }
    return true;
}

bool Storage::sqlBatch(const QString &query, const QVariantList &valueLists,
                       QVariantList &results)
{
    if (!ready("Storage::sqlBatch"))
        return false;
    for (const QVariant &element : valueLists) {
        const QVariantList values =
            element.type() == QVariant::List ? element.toList() : QVariantList();
        QVariantList rows;
        if (!sql(query, values, rows))
            return false;
        results.append(QVariant(rows));
    }
    return true;
}

bool Storage::transaction()
{
    if (!ready("Storage::transaction"))
        return false;
    if (m_db.transaction())
        return true;
    logError("Storage::transaction", m_db.lastError());
    return false;
}

bool Storage::commit()
{
    if (!ready("Storage::commit"))
        return false;
    if (m_db.commit())
        return true;
    logError("Storage::commit", m_db.lastError());
    return false;
}

bool Storage::rollback()
{
    if (!ready("Storage::rollback"))
        return false;
    if (m_db.rollback())
        return true;
    logError("Storage::rollback", m_db.lastError());
    return false;
}

bool Storage::setItem(const QString &key, const QString &value)
{
    if (!ready("Storage::setItem"))
        return false;
    QSqlQuery q(m_db);
    if (!q.prepare(QLatin1String(kReplace))) {
        logError("Storage::setItem", q.lastError());
        return false;
    }
    q.addBindValue(storedKey(key));
    q.addBindValue(m_cipher.encryptText(value));
    if (!q.exec()) {
        logError("Storage::setItem", q.lastError());
        return false;
    }
    return true;
}

bool Storage::setItems(const QVariantMap &items)
{
    if (!ready("Storage::setItems"))
        return false;
    if (items.isEmpty())
        return true;
    QVariantList keys;
    QVariantList values;
    keys.reserve(items.size());
    values.reserve(items.size());
    for (auto it = items.cbegin(); it != items.cend(); ++it) {
        keys.append(storedKey(it.key()));
        values.append(m_cipher.encryptText(it.value().toString()));
    }

    // A savepoint makes the batch one unit either way: outside a transaction
    // it is one (and one sync to disk instead of one per item), inside the
    // page's transaction it nests and commits or rolls back with it.
    QSqlQuery control(m_db);
    if (!control.exec(QStringLiteral("savepoint set_items"))) {
        logError("Storage::setItems", control.lastError());
        return false;
    }
    QSqlQuery q(m_db);
    bool ok = q.prepare(QLatin1String(kReplace));
    if (ok) {
        q.addBindValue(keys);
        q.addBindValue(values);
        ok = q.execBatch();
    }
    if (!ok)
        logError("Storage::setItems", q.lastError());
    q.clear();
    if (ok && !control.exec(QStringLiteral("release set_items"))) {
        logError("Storage::setItems", control.lastError());
        ok = false;
    }
    if (!ok) {
        // Fails only when SQLite has already rolled the transaction back.
        if (!control.exec(QStringLiteral("rollback to set_items"))
            || !control.exec(QStringLiteral("release set_items")))
            logError("Storage::setItems", control.lastError());
    }
    return ok;
}

bool Storage::getItem(const QString &key, QString &value)
{
    if (!ready("Storage::getItem"))
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("select value from stored_values where key = ?"))) {
        logError("Storage::getItem", q.lastError());
        return false;
    }
    q.addBindValue(storedKey(key));
    if (!q.exec()) {
        logError("Storage::getItem", q.lastError());
        return false;
    }
    if (q.next()) {
        value = m_cipher.decryptText(q.value(0).toString());
        if (value.isNull())
            value = QStringLiteral(""); // stored, so present, even when empty
    }
    return true;
}

bool Storage::getItems(const QStringList &keys, QVariantMap &items)
{
    if (!ready("Storage::getItems"))
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // A failing statement yields no rows: the page gets an empty map.
    if (!q.exec(QStringLiteral("select key, value from stored_values where key IN (%1)")
                    .arg(inList(keys)))) {
        logError("Storage::getItems", q.lastError());
        return true;
    }
    while (q.next()) {
        const QString value = m_cipher.decryptText(q.value(1).toString());
        items.insert(pageKey(q.value(0).toString()), value.isNull() ? QStringLiteral("") : value);
    }
    return true;
}

bool Storage::removeItems(const QStringList &keys)
{
    if (!ready("Storage::removeItems"))
        return false;
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("delete from stored_values where key IN (%1)").arg(inList(keys)))) {
        logError("Storage::removeItems", q.lastError());
        return false;
    }
    return true;
}

bool Storage::getKeys(const QString &pattern, QStringList &keys)
{
    if (!ready("Storage::getKeys"))
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("select key from stored_values where key LIKE :pattern"))) {
        logError("Storage::getKeys", q.lastError());
        return false;
    }
    q.bindValue(QStringLiteral(":pattern"),
                QLatin1Char('%') + storedKey(pattern) + QLatin1Char('%'));
    if (!q.exec()) {
        logError("Storage::getKeys", q.lastError());
        return false;
    }
    while (q.next())
        keys.append(pageKey(q.value(0).toString()));
    return true;
}
