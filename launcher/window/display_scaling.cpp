#include "window/display_scaling.h"

float display_scale_factor(double logical_dpi)
{
    const float dpi = static_cast<float>(logical_dpi);
    return dpi > 0 ? static_cast<float>(96.0 / static_cast<double>(dpi)) : 1.0f;
}

int scale_by(int value, float factor)
{
    return static_cast<int>(static_cast<float>(value) * factor);
}

QSize scale_by(const QSize &size, float factor)
{
    return QSize(scale_by(size.width(), factor), scale_by(size.height(), factor));
}
