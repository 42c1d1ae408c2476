#include "qmlevent.h"

#include <QEvent>
#include <QMetaProperty>

QMLEventData::~QMLEventData() = default;

QString QMLEventData::className() const
{
    return QString::fromLatin1(m_meta->className());
}

QMLFileOpenEvent::QMLFileOpenEvent(const QUrl &url)
    : QMLEventData(&QMLFileOpenEvent::staticMetaObject), m_url(url)
{
}

int QMLFileOpenEvent::type() const
{
    return eventType();
}

int QMLFileOpenEvent::eventType()
{
    static const int registered = QEvent::registerEventType();
    return registered;
}

QVariantMap QMLEvent::data() const
{
    QVariantMap map;
    if (!d)
        return map;
    const QMetaObject *meta = d->eventMetaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        map.insert(QString::fromLatin1(property.name()), property.readOnGadget(d.data()));
    }
    return map;
}
