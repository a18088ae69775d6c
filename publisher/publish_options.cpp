#include "publish_options.h"

#include "update_layout.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>

namespace {

// Sequences stay whole numbers that a JSON reader's double holds exactly.
constexpr long long MAX_SEQUENCE = 9007199254740991LL;

bool read_count(const QCommandLineParser &parser, const QString &name, int minimum, int maximum,
                int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *value = parser.value(name).toInt(&ok);
    if (ok && *value >= minimum && *value <= maximum)
        return true;
    std::fprintf(stderr, "publisher: --%s needs a number from %d to %d\n", qPrintable(name),
                 minimum, maximum);
    return false;
}

// A launcher version is numbers joined by dots ("1.4.0"): the launcher
// compares it with its own, and any other text makes every launcher show the
// update prompt.
bool is_version(const QString &text)
{
    static const QRegularExpression version(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return version.match(text).hasMatch();
}

} // namespace

OptionsOutcome parse_publish_options(const QStringList &arguments, PublishOptions *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Turns a game release folder into the tree the launcher updates from: the manifest "
        "patcher.json, one bzip2 archive <file>.bz2 per file and, from earlier versions, "
        "patches/<patch name>.bz2.");
    parser.addHelpOption();
    parser.addOptions({
        {"release", "The release folder: the game as installed.", "dir"},
        {"out",
         "The served folder (created if missing); it may also be a --previous. The new tree "
         "is built beside it in a hidden staging folder and swapped in with one atomic rename "
         "at the end, so readers see the old tree or the new one, and a failure leaves the "
         "old one as it was. As it is replaced whole, it must be missing, empty or a tree the "
         "publisher made, and must not be, contain or lie inside the release or a --previous "
         "(other than being that --previous).",
         "dir"},
        {"previous",
         "An earlier output or release folder. Repeat for several, newest first: patches are "
         "made from each of the first --patch-history of them, and the patches of the first "
         "earlier output are kept where they still lead here within that many steps.",
         "dir"},
        {"server-version", "The \"server-version\" text of the manifest.", "text"},
        {"launcher-version", "The \"launcher-version\" text of the manifest.", "text"},
        {"exec",
         QString("The game executable's file name (default %1).")
             .arg(update_layout::default_exec()),
         "name"},
        {"patch-history",
         "How many versions back a player may be and still update by patches "
         "(default 3; 0 makes no patches).",
         "n"},
        {"jobs", "Files worked on at the same time (default: the number of cores).", "n"},
        {"patch-level", "Compression level of the patches (1-19; default 12).", "n"},
        {"follow-internal-links",
         "Publish a symbolic link that leads to a regular file inside the release as that "
         "file's content (otherwise every link is an error)."},
        {"new-history",
         "Start a new patch history: allowed to replace a published tree in --out without "
         "taking its patches over (otherwise that tree, or the one it was published from, "
         "must be the first --previous)."},
        {"check",
         "Only check the published tree in dir: every listed archive decompresses to its hash "
         "and size, every listed patch exists and names its source and result. Exits 1 on "
         "any fault.",
         "dir"},
        {"sign-key",
         "Sign the manifest with this Ed25519 private key (PEM, from openssl genpkey "
         "-algorithm ed25519): patcher.json.sig beside it holds the raw 64-byte signature "
         "of its exact bytes. It is written into the new tree before the swap, so a tree is "
         "signed whole or not at all.",
         "file"},
        {"sequence",
         "The manifest's \"sequence\" (default: one more than the highest of the --previous "
         "trees and the tree --out holds, 1 when there is none); it must be above the sequence "
         "of the tree --out holds. Launchers with a key refuse a manifest whose sequence is "
         "lower than one they accepted before, and one of an accepted sequence with other "
         "bytes. A sequence more than 1000 above the earlier trees is warned about.",
         "n"},
        {"distribution",
         "The manifest's \"distribution\" (default prod): launchers with a key use the tree "
         "only for this distribution.",
         "name"},
        {"expires-after",
         "The manifest's \"expires\": this many days from now; launchers with a key refuse "
         "it afterwards (default: it does not expire).",
         "days"},
        {"verify-key",
         "With --check: the manifest must carry a valid signature by one of the public keys "
         "in this PEM file; a missing or wrong signature is a fault.",
         "file"},
    });
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "publisher: %s\n", qPrintable(parser.errorText()));
        return OptionsOutcome::UsageError;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return OptionsOutcome::Exit;
    }
    options->jobs = qMax(1, QThread::idealThreadCount());
    if (parser.isSet("check")) {
        options->check_dir = parser.value("check");
        options->verify_key = parser.value("verify-key");
        if (parser.isSet("sign-key")) {
            std::fprintf(stderr, "publisher: --sign-key does not go with --check\n");
            return OptionsOutcome::UsageError;
        }
        return read_count(parser, "jobs", 1, 1024, &options->jobs) ? OptionsOutcome::Run
                                                                   : OptionsOutcome::UsageError;
    }
    for (const char *required : {"release", "out", "server-version", "launcher-version"}) {
        if (!parser.isSet(required)) {
            std::fprintf(stderr, "publisher: --%s is required (see --help)\n", required);
            return OptionsOutcome::UsageError;
        }
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "publisher: unexpected argument %s\n",
                     qPrintable(parser.positionalArguments().first()));
        return OptionsOutcome::UsageError;
    }
    if (parser.isSet("verify-key")) {
        std::fprintf(stderr, "publisher: --verify-key goes only with --check\n");
        return OptionsOutcome::UsageError;
    }
    options->sign_key = parser.value("sign-key");
    options->release_dir = parser.value("release");
    options->out_dir = parser.value("out");
    options->previous = parser.values("previous");
    options->server_version = parser.value("server-version");
    options->launcher_version = parser.value("launcher-version");
    options->exec_name =
        parser.isSet("exec") ? parser.value("exec") : update_layout::default_exec();
    options->follow_internal_links = parser.isSet("follow-internal-links");
    options->new_history = parser.isSet("new-history");
    options->distribution =
        parser.isSet("distribution") ? parser.value("distribution") : QStringLiteral("prod");
    // Launchers fetch a distribution's tree from a host named by it.
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9-]{1,63}$"));
    if (!label.match(options->distribution).hasMatch()) {
        std::fprintf(stderr,
                     "publisher: --distribution %s is not a distribution name (letters, digits "
                     "and \"-\", at most 63)\n",
                     qPrintable(options->distribution));
        return OptionsOutcome::UsageError;
    }
    if (parser.isSet("sequence")) {
        bool ok = false;
        options->sequence = parser.value("sequence").toLongLong(&ok);
        if (!ok || options->sequence < 0 || options->sequence > MAX_SEQUENCE) {
            std::fprintf(stderr, "publisher: --sequence needs a number from 0 to %lld\n",
                         MAX_SEQUENCE);
            return OptionsOutcome::UsageError;
        }
    }
    if (!is_version(options->launcher_version)) {
        std::fprintf(stderr,
                     "publisher: --launcher-version %s is not a version (numbers joined by "
                     "dots, such as 1.4.0)\n",
                     qPrintable(options->launcher_version));
        return OptionsOutcome::UsageError;
    }
    if (!read_count(parser, "patch-history", 0, 1000, &options->patch_history) ||
        !read_count(parser, "jobs", 1, 1024, &options->jobs) ||
        !read_count(parser, "patch-level", 1, 19, &options->patch_level) ||
        !read_count(parser, "expires-after", 1, 3650, &options->expires_after_days))
        return OptionsOutcome::UsageError;
    return OptionsOutcome::Run;
}
