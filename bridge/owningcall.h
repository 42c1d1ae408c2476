#pragma once

#include "constants.h"
#include "task.h"

#include <QVariantMap>

#include <type_traits>
#include <utility>

namespace Task {

// The owning services' answers: a callback name and its payload as it stands.
inline QSharedPointer<IResponse> answer(Constants::JSInvoke::_JSInvoke name, const QVariantMap &data = {},
                                        int type = IResponse::Resolved)
{
    return QSharedPointer<IResponse>(new IResponse(data, Constants::callback(name), type));
}

inline QSharedPointer<IResponse> failure(Constants::JSInvoke::_JSInvoke name, const QVariantMap &data = {})
{
    return answer(name, data, IResponse::Rejected);
}

// The call that owns a device's activity (a playback, a recording) from its
// start until its ending has been reported. Only the owner hears of the
// device's changes, so an earlier call never receives a later one's reports.
// Used in the thread that owns the device.
class OwningCall
{
public:
    explicit operator bool() const { return !m_task.isNull(); }
    bool is(const QSharedPointer<CTask> &task) const { return m_task == task; }
    QString uuid() const { return m_uuid; }

    // data with the owner's uuid added.
    QVariantMap payload(QVariantMap data = {}) const
    {
        data.insert(Constants::key(Constants::Other::uuid), m_uuid);
        return data;
    }

    // task owns the device from now on; an owner before it ends with previousEnd.
    void handOver(const QSharedPointer<CTask> &task, const QString &uuid,
                  const QSharedPointer<IResponse> &previousEnd)
    {
        end(previousEnd);
        m_task = task;
        m_uuid = uuid;
    }

    void notify(const QSharedPointer<IResponse> &response) const
    {
        if (m_task)
            m_task->notify(response);
    }

    // Ends the owning call, if there is one, with response; the device is free.
    void end(const QSharedPointer<IResponse> &response)
    {
        m_uuid.clear();
        if (const QSharedPointer<CTask> call = std::exchange(m_task, {}))
            call->settle(response);
    }

private:
    QSharedPointer<CTask> m_task;
    QString m_uuid;
};

// The page's "state" of a player or recorder: 0 stopped, 1 running (run:
// play or record), 2 paused. True when the status leaves it out, or when
// the device took it.
template <typename Device>
bool applyState(Device *device, const QVariantMap &status, void (Device::*run)())
{
    const QString name = Constants::key(Constants::Other::state);
    if (!status.contains(name))
        return true;
    bool ok = false;
    const int state = status.value(name).toInt(&ok);
    if (!ok || state < 0 || state > 2)
        return false;
    if (state == 0)
        device->stop();
    else if (state == 1)
        (device->*run)();
    else
        device->pause();
    return int(device->state()) == state;
}

// The page's "muted", the same way.
template <typename Device>
bool applyMuted(Device *device, const QVariantMap &status)
{
    const QString name = Constants::key(Constants::Other::muted);
    if (!status.contains(name))
        return true;
    const bool muted = status.value(name).toBool();
    device->setMuted(muted);
    return device->isMuted() == muted;
}

// Passes a device's change signal on as the owner's statusChanged(name,
// value); an enumeration goes as its number.
template <typename Owner, typename Sender, typename Device, typename Value>
void relayStatus(Owner *owner, Sender *device, void (Device::*changed)(Value),
                 Constants::Other::_Other name)
{
    QObject::connect(device, changed, owner, [owner, name](Value value) {
        using Plain = std::decay_t<Value>;
        if constexpr (std::is_enum_v<Plain>)
            emit owner->statusChanged(Constants::key(name), int(value));
        else
            emit owner->statusChanged(Constants::key(name), QVariant::fromValue<Plain>(value));
    });
}

} // namespace Task
