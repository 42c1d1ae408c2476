#pragma once

#include <QObject>

// Tells QML which user-interface variant to load.
class StateManager : public QObject
{
    Q_OBJECT
public:
    static StateManager *instance();
    Q_INVOKABLE bool isMobile() const { return false; }

private:
    template <typename> friend class Singleton;
    StateManager() = default;
};
