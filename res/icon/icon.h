// The tool's own icon, drawn by code at any size: an SD card with a green update badge. The
// program builds its window icon from it and the build renders the PNGs the desktop entry uses.
#pragma once

#include <QtGui/QIcon>
#include <QtGui/QImage>

#include <array>

namespace tr350::res {

// The sizes the desktop's icon theme and the window frame ask for.
inline constexpr std::array<int, 8> kIconSizes = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon at `size` x `size` pixels on a transparent background. Needs no application object;
// any thread.
QImage RenderAppIcon(int size);
// Every size of kIconSizes. Needs the QGuiApplication; its thread only.
QIcon AppIcon();

}  // namespace tr350::res
