// Writes two releases of a small demo game into OUT/v1 and OUT/v2:
//   orvex.exe                 the stand-in game (same in both)
//   readme.txt                changed in v2
//   data/terrain.pak          a few regions changed in v2 (a small patch)
//   data/textures.pak         changed in v2
//   data/sounds.pak           unchanged
//   data/quests/chapter2.dat  added in v2
// and OUT/qa, the files that only the "qa" distribution adds:
//   data/qa/overlay.dat
// The content is pseudo-random but fixed, so every run writes the same bytes.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

class Generator
{
public:
    explicit Generator(quint64 seed) : state(seed) { }
    quint32 next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<quint32>(state >> 33);
    }

private:
    quint64 state;
};

// Record-like text that compresses about as well as real game data tables.
QByteArray make_data(quint64 seed, int size, const char *kind)
{
    static const char *const biomes[] = {"marsh", "dune", "reef", "saltflat", "kelp", "tideway"};
    Generator random(seed);
    QByteArray data;
    data.reserve(size + 128);
    for (int record = 0; data.size() < size; ++record)
        data += QByteArray(kind) + ' ' + QByteArray::number(record) +
            " h=" + QByteArray::number(random.next() % 4096) + " b=" + biomes[random.next() % 6] +
            " v=" + QByteArray::number(random.next(), 16) + '\n';
    data.truncate(size);
    return data;
}

// The same data with a few regions rewritten, as a typical content update does.
QByteArray change_regions(QByteArray data, quint64 seed, int regions)
{
    Generator random(seed);
    for (int i = 0; i < regions; ++i) {
        const int at = static_cast<int>(random.next() % static_cast<quint32>(data.size() - 4096));
        const QByteArray fresh =
            make_data(seed + i, 2048 + static_cast<int>(random.next() % 2048), "patched");
        data.replace(at, fresh.size(), fresh);
    }
    return data;
}

bool write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "make_demo_releases: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool copy_game(const QString &game, const QString &target)
{
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);
    if (!QFile::copy(game, target)) {
        std::fprintf(stderr, "make_demo_releases: cannot copy %s\n", qPrintable(game));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr,
                     "usage: make_demo_releases OUT_DIR GAME_EXECUTABLE\n"
                     "Writes OUT_DIR/v1 and OUT_DIR/v2, two releases of the demo game, and\n"
                     "OUT_DIR/qa, the files of the qa distribution.\n");
        return 2;
    }
    const QString out = args.at(1);
    const QString game = args.at(2);
    const int mib = 1024 * 1024;

    const QByteArray terrain = make_data(1, 3 * mib, "tile");
    const QByteArray textures = make_data(2, 2 * mib, "texel");
    const QByteArray sounds = make_data(3, 3 * mib / 2, "sample");

    bool ok = copy_game(game, out + "/v1/orvex.exe") && copy_game(game, out + "/v2/orvex.exe");
    ok = ok && write(out + "/v1/readme.txt", "Orvex demo release 1.\n") &&
        write(out + "/v1/data/terrain.pak", terrain) &&
        write(out + "/v1/data/textures.pak", textures) &&
        write(out + "/v1/data/sounds.pak", sounds);
    ok = ok && write(out + "/v2/readme.txt", "Orvex demo release 2: the second chapter opens.\n") &&
        write(out + "/v2/data/terrain.pak", change_regions(terrain, 11, 6)) &&
        write(out + "/v2/data/textures.pak", change_regions(textures, 12, 40)) &&
        write(out + "/v2/data/sounds.pak", sounds) &&
        write(out + "/v2/data/quests/chapter2.dat", make_data(4, mib, "quest"));
    ok = ok && write(out + "/qa/data/qa/overlay.dat", make_data(5, mib / 4, "overlay"));
    return ok ? 0 : 1;
}
