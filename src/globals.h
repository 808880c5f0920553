#pragma once

#include <atomic>

// The process-wide objects, built by a static initialiser before main() runs and destroyed at
// process exit in reverse order.
class Alarms;
class ChannelReady;
class EmailManager;
class SMTPManager;
class SettingsManager;
class Stats;
class UsersManager;

extern ChannelReady* g_channelReady;
extern Stats* g_stats;
extern SettingsManager* g_settingsManager;
extern Alarms* g_alarms;
extern UsersManager* g_usersManager;
extern SMTPManager* g_smtpManager;
// The e-mail worker of the running poll, or null; set and cleared by the run's start and stop.
extern std::atomic<EmailManager*> g_emailManager;
