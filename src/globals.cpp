#include "globals.h"

#include "Alarms.h"
#include "SMTPManager.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "UsersManager.h"
#include "polling/ChannelReady.h"

#include <cstdlib>

ChannelReady* g_channelReady = nullptr;
Stats* g_stats = nullptr;
SettingsManager* g_settingsManager = nullptr;
Alarms* g_alarms = nullptr;
UsersManager* g_usersManager = nullptr;
SMTPManager* g_smtpManager = nullptr;
std::atomic<EmailManager*> g_emailManager{nullptr};

namespace {

// Each object gets its exit handler right after its construction, so that the handlers, which
// run in reverse order of registration, destroy the objects in reverse order of construction.
struct GlobalObjects
{
    GlobalObjects()
    {
        g_channelReady = new ChannelReady;
        std::atexit([] {
            delete g_channelReady;
            g_channelReady = nullptr;
        });
        g_stats = new Stats;
        std::atexit([] {
            delete g_stats;
            g_stats = nullptr;
        });
        g_settingsManager = new SettingsManager;
        std::atexit([] {
            delete g_settingsManager;
            g_settingsManager = nullptr;
        });
        g_alarms = new Alarms;
        std::atexit([] {
            delete g_alarms;
            g_alarms = nullptr;
        });
        g_usersManager = new UsersManager;
        std::atexit([] {
            delete g_usersManager;
            g_usersManager = nullptr;
        });
        g_smtpManager = new SMTPManager;
        std::atexit([] {
            delete g_smtpManager;
            g_smtpManager = nullptr;
        });
    }
};

const GlobalObjects s_globalObjects;

} // namespace
