#pragma once

// The process-wide objects, built by a static initialiser before main() runs and destroyed at
// process exit in reverse order.
class ChannelReady;
class SettingsManager;
class Stats;
class UsersManager;

extern ChannelReady* g_channelReady;
extern Stats* g_stats;
extern SettingsManager* g_settingsManager;
extern UsersManager* g_usersManager;
