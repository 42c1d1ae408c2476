#include "cstatuscheck.h"

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

CStatusCheck::CStatusCheck()
{
    connect(&m_manager, &QNetworkConfigurationManager::onlineStateChanged, this,
            &IStatusCheck::statusChange);
}

bool CStatusCheck::isOnline()
{
    return m_manager.isOnline();
}

QT_WARNING_POP
