#pragma once
// The capture agent's program name: the local agent device looks for it beside this
// program, and a remote host's shell finds it on its PATH.

inline constexpr char CaptureAgentName[] = "orrisvane-capture";
