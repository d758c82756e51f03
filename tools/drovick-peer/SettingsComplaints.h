#pragma once

class DrovickSettings;
class SettingsFile;

// SettingsFile::Load for a command: false after saying why on standard error.
bool LoadOrComplain(const SettingsFile& file, DrovickSettings& settings);

// Told after the settings file was changed while Drovick runs for this user
// without having taken the change itself, as it does not see the file change.
void NoteRunningDrovick();
