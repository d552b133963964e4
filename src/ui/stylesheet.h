#pragma once

#include <QPalette>
#include <QString>

// The whole application stylesheet for the dark (default) or the light palette.
QString get_stylesheet(bool is_dark = true);

// The same colours as a QPalette. Widgets the stylesheet does not name (the views inside a file
// chooser, message-box details, tool tips) draw from the palette; without it they keep the
// platform's white base under the theme's light text.
QPalette theme_palette(bool is_dark = true);
