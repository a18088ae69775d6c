// publisher: turns a game release folder into the tree the launcher updates
// from. See --help.
#include "publish_options.h"
#include "publisher.h"
#include "signature_check.h"
#include "tree_check.h"

#include <QCoreApplication>

#include <malloc.h>

int main(int argc, char *argv[])
{
    // Each compressed block allocates and frees several MiB; keeping such
    // blocks in the heap instead of mapping them afresh saves the page faults.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
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
    if (!options.check_dir.isEmpty()) {
        const int status = check_tree(options.check_dir, options.jobs);
        if (!options.verify_key.isEmpty() &&
            !check_manifest_signature(options.check_dir, options.verify_key))
            return 1;
        return status;
    }
    return Publisher(options).run();
}
