#pragma once

#include <QString>

// The news page's font, shipped in the launcher's resources (DejaVu Sans,
// its licence beside it under :/FONTS), so that the page looks the same on
// every system whatever fonts the system has.
namespace news_fonts {

// Adds the shipped faces to the application's fonts (once; later calls
// only return the family) and returns their family name; "" when they
// could not be added.
QString install();

} // namespace news_fonts
