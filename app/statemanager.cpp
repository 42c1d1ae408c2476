#include "statemanager.h"

#include "singleton.h"

StateManager *StateManager::instance()
{
    return Singleton<StateManager>::instance();
}
