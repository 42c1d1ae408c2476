#pragma once

#include <QExplicitlySharedDataPointer>
#include <QMetaType>
#include <QSharedData>
#include <QString>
#include <QUrl>
#include <QVariantMap>

// Payload of an application event on its way from the application object
// through QML to the page. Subclasses are gadgets: their properties become
// the fields of the event's map.
class QMLEventData : public QSharedData
{
    Q_GADGET
    Q_PROPERTY(int type READ type)
    Q_PROPERTY(QString className READ className)
public:
    virtual ~QMLEventData();
    virtual int type() const = 0;

    QString className() const;
    const QMetaObject *eventMetaObject() const { return m_meta; }

protected:
    explicit QMLEventData(const QMetaObject *meta) : m_meta(meta) {}

private:
    const QMetaObject *m_meta;
};

class QMLFileOpenEvent : public QMLEventData
{
    Q_GADGET
    Q_PROPERTY(QUrl url READ url)
public:
    explicit QMLFileOpenEvent(const QUrl &url);
    int type() const override;
    QUrl url() const { return m_url; }

    // Registered with QEvent once per process, on first use.
    static int eventType();

private:
    QUrl m_url;
};

// Value type passed through signals and QML; copies share the data.
class QMLEvent
{
    Q_GADGET
    Q_PROPERTY(int type READ type)
    Q_PROPERTY(QString className READ className)
public:
    QMLEvent() = default;
    explicit QMLEvent(QMLEventData *data) : d(data) {}

    int type() const { return d ? d->type() : 0; }
    QString className() const { return d ? d->className() : QString(); }
    bool isNull() const { return !d; }

    // Every property of the data, inherited ones first: type, className,
    // then the subclass's own (url for a file-open event).
    QVariantMap data() const;

private:
    QExplicitlySharedDataPointer<QMLEventData> d;
};

Q_DECLARE_METATYPE(QMLEvent)
