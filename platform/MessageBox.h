// Modal message boxes. The host installs a presenter; it is called on the
// thread that shows the box (often a receive thread), receives the caption,
// the text (both CP949) and the style bits, blocks until the agent closes
// the box, and answers the button. Without a presenter the box is written
// to standard error and counts as closed with OK at once.
#pragma once

#include <functional>
#include <string>

#include "platform/HostLoop.h"

namespace tessor::platform {

constexpr unsigned MB_OK = 0x00000000;
constexpr unsigned MB_ICONHAND = 0x00000010;
constexpr unsigned MB_ICONERROR = MB_ICONHAND;
constexpr unsigned MB_ICONSTOP = MB_ICONHAND;
constexpr unsigned MB_ICONEXCLAMATION = 0x00000030;
constexpr unsigned MB_SETFOREGROUND = 0x00010000;
constexpr unsigned MB_TOPMOST = 0x00040000;
constexpr int IDOK = 1;

using MessageBoxPresenter =
    std::function<int(HWND owner, const std::string& caption, const std::string& text, unsigned style)>;

// Installs the process-wide presenter; an empty function restores the default.
void SetMessageBoxPresenter(MessageBoxPresenter presenter);
// Shows a box through the presenter and answers its button.
int ShowMessageBox(HWND owner, const std::string& caption, const std::string& text, unsigned style);

}  // namespace tessor::platform
