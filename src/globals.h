#pragma once

// The process-wide objects, built by a static initialiser before main() runs and destroyed at
// process exit in reverse order.
class SettingsManager;
class UsersManager;

extern SettingsManager* g_settingsManager;
extern UsersManager* g_usersManager;
