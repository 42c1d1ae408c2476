#include "plugins/storage/storage.h"

#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QScopeGuard>
#include <QVector>

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

// SQLite turns the UTF-16 it is given into UTF-8, pairing every high
// surrogate with the unit after it whatever that unit is. Shifted keys meet
// this: a low surrogate U+DFFD..U+DFFF becomes U+E000..U+E002 (the skin-tone
// modifiers among them) and reads back as U+DC00..U+DC02. From a storable
// key (below) that is the only way a high surrogate comes back followed by
// U+DC00..U+DC02, so it is undone here.
QString readBack(QString stored)
{
    for (int i = 1; i < stored.size(); ++i) {
        const ushort unit = stored.at(i).unicode();
        if (unit >= 0xDC00 && unit <= 0xDC02 && stored.at(i - 1).isHighSurrogate())
            stored[i] = QChar(ushort(unit + 0x400));
    }
    return stored;
}

// Whether the stored form of key reads back as key. Not so for lone
// surrogates, U+D7FD..U+D7FF (stored as lone high surrogates), U+FFFB and
// U+FFFC (stored as U+FFFE and U+FFFF, which SQLite reads back as U+FFFD),
// U+10F400..U+10FFFF (high surrogates U+DBFD..U+DBFF, stored as low ones)
// and a leading U+FEFC (stored as U+FEFF, a byte order mark SQLite drops).
bool storable(const QString &key)
{
    if (key.startsWith(QChar(0xFEFC)))
        return false;
    for (int i = 0; i < key.size(); ++i) {
        const ushort unit = key.at(i).unicode();
        if ((unit >= 0xD7FD && unit <= 0xD7FF) || unit == 0xFFFB || unit == 0xFFFC
            || (unit >= 0xDBFD && unit <= 0xDBFF))
            return false;
        if (key.at(i).isLowSurrogate())
            return false; // a pair's low half is skipped below
        if (key.at(i).isHighSurrogate()) {
            if (i + 1 == key.size() || !key.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        }
    }
    return true;
}

// SQL LIKE without ESCAPE, as SQLite matches it (% any run, _ one
// character, ASCII letters in either case), but over the whole text: SQLite
// stops at a NUL, which is how U+FFFD is stored.
QVector<uint> characters(const QString &text)
{
    QVector<uint> out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        uint c = text.at(i).unicode();
        if (c >= 'A' && c <= 'Z') {
            c += 'a' - 'A';
        } else if (text.at(i).isHighSurrogate() && i + 1 < text.size()
                   && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        out.append(c);
    }
    return out;
}

bool like(const QVector<uint> &pattern, const QVector<uint> &text)
{
    int p = 0, t = 0, star = -1, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern.at(p) == '%') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && (pattern.at(p) == '_' || pattern.at(p) == text.at(t))) {
            ++p;
            ++t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern.at(p) == '%')
        ++p;
    return p == pattern.size();
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
    return shifted(readBack(stored), ushort(-kKeyShift));
}

bool Storage::storableKeys(const char *operation, const QStringList &keys)
{
    for (const QString &key : keys) {
        if (!storable(key)) {
            qCWarning(lcStorage) << operation << "refuses a key that would not read back as it is";
            return false;
        }
    }
    return true;
}

// The cipher logs why a value does not decrypt.
bool Storage::decrypted(const QString &stored, QString &value) const
{
    bool ok = false;
    value = m_cipher.decryptText(stored, &ok);
    if (value.isNull())
        value = QStringLiteral(""); // stored, so present, even when empty
    return ok;
}

// One statement run once per row of columns, all rows or none: outside a
// transaction the savepoint is one (and one sync to disk instead of one per
// row), inside the page's transaction it nests and commits or rolls back
// with it.
bool Storage::batch(const char *operation, const QString &statement,
                    const QList<QVariantList> &columns)
{
    QSqlQuery control(m_db);
    if (!control.exec(QStringLiteral("savepoint batch"))) {
        logError(operation, control.lastError());
        return false;
    }
    QSqlQuery q(m_db);
    bool ok = q.prepare(statement);
    if (ok) {
        for (const QVariantList &column : columns)
            q.addBindValue(column);
        ok = q.execBatch();
    }
    if (!ok)
        logError(operation, q.lastError());
    q.clear();
    if (ok && !control.exec(QStringLiteral("release batch"))) {
        logError(operation, control.lastError());
        ok = false;
    }
    if (!ok) {
        // Fails only when SQLite has already rolled the transaction back.
        if (!control.exec(QStringLiteral("rollback to batch"))
            || !control.exec(QStringLiteral("release batch")))
            logError(operation, control.lastError());
    }
    return ok;
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
    // Write-ahead log with a sync per commit: one fdatasync per save instead
    // of the rollback journal's several and its file deletion, and a
    // confirmed save still survives a crash or a power loss. A file system
    // that cannot hold the log's shared index keeps the rollback journal.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next()
        || query.value(0).toString() != QLatin1String("wal"))
        qCWarning(lcStorage).noquote() << "Storage::init" << path << "keeps its rollback journal"
                                       << query.lastError().text();
    query.exec(QStringLiteral("PRAGMA synchronous=FULL"));
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
    if (!ready("Storage::setItem") || !storableKeys("Storage::setItem", {key}))
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
    if (!ready("Storage::setItems") || !storableKeys("Storage::setItems", items.keys()))
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
    return batch("Storage::setItems", QLatin1String(kReplace), {keys, values});
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
    if (q.next())
        return decrypted(q.value(0).toString(), value);
    return true;
}

// Key by key, each bound as it was when saved: keys are never SQL text.
bool Storage::getItems(const QStringList &keys, QVariantMap &items, qint64 budget)
{
    if (!ready("Storage::getItems"))
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("select value from stored_values where key = ?"))) {
        logError("Storage::getItems", q.lastError());
        return false;
    }
    // One read transaction for all keys: one lock of the file, not one each.
    QSqlQuery control(m_db);
    const bool read = control.exec(QStringLiteral("savepoint get_items"));
    const auto done = qScopeGuard([&] {
        q.finish();
        if (read && !control.exec(QStringLiteral("release get_items")))
            logError("Storage::getItems", control.lastError());
    });
    qint64 size = 0;
    for (const QString &key : keys) {
        if (size > budget)
            break;
        q.bindValue(0, storedKey(key));
        if (!q.exec()) {
            logError("Storage::getItems", q.lastError());
            return false;
        }
        QString value;
        if (q.next()) {
            if (!decrypted(q.value(0).toString(), value))
                return false;
            items.insert(key, value);
            size += 2 * (qint64(key.size()) + value.size());
        }
        q.finish();
    }
    return true;
}

bool Storage::removeItems(const QStringList &keys)
{
    if (!ready("Storage::removeItems"))
        return false;
    if (keys.isEmpty())
        return true;
    QVariantList stored;
    stored.reserve(keys.size());
    for (const QString &key : keys)
        stored.append(storedKey(key));
    return batch("Storage::removeItems",
                 QStringLiteral("delete from stored_values where key = ?"), {stored});
}

bool Storage::getKeys(const QString &pattern, QStringList &keys)
{
    if (!ready("Storage::getKeys"))
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("select key from stored_values"))) {
        logError("Storage::getKeys", q.lastError());
        return false;
    }
    // Matched on the stored form, as SQL LIKE '%' || stored pattern || '%'.
    const QVector<uint> wanted =
        characters(QLatin1Char('%') + storedKey(pattern) + QLatin1Char('%'));
    while (q.next()) {
        const QString stored = readBack(q.value(0).toString());
        if (like(wanted, characters(stored)))
            keys.append(shifted(stored, ushort(-kKeyShift)));
    }
    if (q.lastError().isValid()) {
        logError("Storage::getKeys", q.lastError());
        return false;
    }
    return true;
}
