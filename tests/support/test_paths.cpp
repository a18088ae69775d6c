#include "test_paths.h"

#include <QProcessEnvironment>

QString bin_dir()
{
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("ORVEX_BIN_DIR"));
}

QString source_dir()
{
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("ORVEX_SOURCE_DIR"));
}
