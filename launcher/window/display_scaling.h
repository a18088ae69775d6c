#pragma once

#include <QSize>

// Texts are sized in points, which the platform turns into pixels with the
// screen's logical DPI; the window's rectangles are fixed pixels. These scale
// point sizes by 96 / DPI so texts keep about their 96-DPI pixel size.

// 96 / dpi in double precision stored as float, or 1 for a DPI that is not positive.
float display_scale_factor(double logical_dpi);

// value * factor in single precision, truncated toward zero.
int scale_by(int value, float factor);
QSize scale_by(const QSize &size, float factor);
