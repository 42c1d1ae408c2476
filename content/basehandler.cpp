#include "content/basehandler.h"

#include "bridge/constants.h"

#include <QDataStream>
#include <QVariant>

void BaseHandler::cleanStream(QObject *object)
{
    if (!object)
        return;
    const QByteArray name = Constants::key(Constants::Other::stream).toLatin1();
    const QVariant value = object->property(name.constData());
    void *holder = value.value<void *>();
    if (!holder)
        return;
    object->setProperty(name.constData(), QVariant());
    delete static_cast<QDataStream *>(holder);
}
