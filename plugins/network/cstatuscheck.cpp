#include "cstatuscheck.h"

#include <QTimer>

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

// The bearer plugins load with the first manager, a few milliseconds that the
// first page does not need: following the state starts once the event loop
// runs, or at the first status check if that comes first.
CStatusCheck::CStatusCheck()
{
    QTimer::singleShot(0, this, &CStatusCheck::watch);
}

void CStatusCheck::watch()
{
    if (m_manager)
        return;
    m_manager.reset(new QNetworkConfigurationManager);
    connect(m_manager.get(), &QNetworkConfigurationManager::onlineStateChanged, this,
            &IStatusCheck::statusChange);
}

bool CStatusCheck::isOnline()
{
    return m_manager && m_manager->isOnline();
}

QT_WARNING_POP
