#pragma once
// Command identifiers shared by the menu, the tool bar and the accelerators. Each QAction
// carries its identifier (QAction::data), so a command is found by number as well as by name.

namespace command_id {
inline constexpr int Start = 32771;
inline constexpr int Stop = 32772;
inline constexpr int Settings = 32773;
inline constexpr int SaveTrace = 32777;
inline constexpr int Clear = 32778;
inline constexpr int GoToPacket = 32779;
inline constexpr int Open = 57601;
inline constexpr int Save = 57603;
inline constexpr int DefaultHelp = 57671;  // the help contents, with no menu item or key
inline constexpr int About = 57664;
inline constexpr int Exit = 57665;
inline constexpr int HelpTopics = 57667;
inline constexpr int ContextHelp = 57669;
inline constexpr int Help = 57670;
inline constexpr int ToggleToolBar = 59392;
inline constexpr int ToggleStatusBar = 59393;
}  // namespace command_id
