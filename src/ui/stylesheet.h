#pragma once

#include <QString>

// The whole application stylesheet for the dark (default) or the light palette.
QString get_stylesheet(bool is_dark = true);
