#pragma once

class LogEvent;
class WindowKinds;

// Registers Drovick's tool windows in their order (friends list,
// shared directories, transfer agent, messenger, network monitor), each with
// its toggle text, settings fields and, where the window is built, factory.
void RegisterToolWindowKinds(WindowKinds& kinds, LogEvent& log);
