// publisher: turns a game release folder into the tree the launcher updates
// from. See --help.
#include "publish_options.h"
#include "publisher.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    PublishOptions options;
    switch (parse_publish_options(QCoreApplication::arguments(), &options)) {
    case OptionsOutcome::Exit:
        return 0;
    case OptionsOutcome::UsageError:
        return 2;
    case OptionsOutcome::Run:
        break;
    }
    return Publisher(options).run();
}
