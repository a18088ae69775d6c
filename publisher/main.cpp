// publisher: turns a game release folder into the tree the launcher updates
// from. See --help.
#include "publish_options.h"
#include "publisher.h"
#include "tree_check.h"

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
    if (!options.check_dir.isEmpty())
        return check_tree(options.check_dir, options.jobs);
    return Publisher(options).run();
}
