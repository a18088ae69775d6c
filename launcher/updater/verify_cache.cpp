#include "updater/verify_cache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <limits>

#include <openssl/evp.h>

#include "atomic_file.h"
#include "hash_text.h"

#include "files/plain_file.h"

namespace {

const QByteArray MAGIC_PREFIX = QByteArrayLiteral("saltmarch-verify-cache ");
const QByteArray MAGIC_LINE = MAGIC_PREFIX + "3\n";
constexpr int HEADER_SIZE = 40; // magic line padded to 32, count, name units
constexpr int RECORD_SIZE = 88;
constexpr int DIGEST_SIZE = 32;
constexpr int CHECKSUM_SIZE = 32;
// A file changed less than this long before it was read may change again
// without its times moving on (coarse file system clocks); such an entry is
// read again next time, until it is older.
constexpr qint64 RACY_MARGIN_NS = 2'000'000'000;

bool sha256(const char *data, std::size_t size, unsigned char *digest)
{
    unsigned int length = 0;
    return EVP_Digest(size ? data : "", size, digest, &length, EVP_sha256(), nullptr) == 1 &&
        length == CHECKSUM_SIZE;
}

QString digest_text_of(const unsigned char *digest)
{
    return QString::fromLatin1(digest_text_of_digest(digest).c_str(), DIGEST_TEXT_LENGTH);
}

// Whether `checked_ns` lies at least RACY_MARGIN_NS after the file's last
// change. Any times a damaged file may hold: the difference is taken without
// overflow.
template <typename Times> bool long_after(qint64 checked_ns, const Times &file)
{
    const qint64 changed = qMax(file.mtime_ns, file.ctime_ns);
    return changed <= checked_ns &&
        quint64(checked_ns) - quint64(changed) >= quint64(RACY_MARGIN_NS);
}

template <typename T> T read_number(const char *at)
{
    return qFromLittleEndian<T>(at);
}

template <typename T> void write_number(char *at, T value)
{
    qToLittleEndian<T>(value, at);
}

} // namespace

QString VerifyCache::file_name()
{
    return QStringLiteral(".saltmarch-verify.cache");
}

bool VerifyCache::load(const QString &folder)
{
    clear();
    changed = false;
    loaded_bytes.clear();
    QFile file;
    if (!plain_file::open_for_reading(QDir(folder).filePath(file_name()), file))
        return false;
    const QByteArray data = file.readAll();
    if (!parse(data)) {
        clear();
        changed = false;
        return false;
    }
    // The names of the records point into these bytes.
    loaded_bytes = data;
    return true;
}

bool VerifyCache::parse(const QByteArray &data)
{
    // Names are looked at where they stand in the file, in the byte order
    // the file keeps; elsewhere the cache is not used.
    if (Q_BYTE_ORDER != Q_LITTLE_ENDIAN)
        return false;
    if (data.size() < HEADER_SIZE + CHECKSUM_SIZE || !data.startsWith(MAGIC_LINE))
        return false;
    const char *const bytes = data.constData();
    for (int i = MAGIC_LINE.size(); i < HEADER_SIZE - 8; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    const int body_size = data.size() - CHECKSUM_SIZE;
    unsigned char digest[CHECKSUM_SIZE];
    if (!sha256(bytes, std::size_t(body_size), digest) ||
        std::memcmp(digest, bytes + body_size, CHECKSUM_SIZE) != 0)
        return false;

    const quint32 count = read_number<quint32>(bytes + HEADER_SIZE - 8);
    const quint32 name_units = read_number<quint32>(bytes + HEADER_SIZE - 4);
    const qint64 names_at = HEADER_SIZE + qint64(count) * RECORD_SIZE;
    if (names_at + qint64(name_units) * 2 != body_size ||
        reinterpret_cast<quintptr>(bytes + names_at) % alignof(QChar) != 0)
        return false;
    const QChar *const names = reinterpret_cast<const QChar *>(bytes + names_at);
    records.reserve(count);
    rebuild_index(count);
    for (quint32 i = 0; i < count; ++i) {
        const char *const at = bytes + HEADER_SIZE + qint64(i) * RECORD_SIZE;
        Record record {};
        record.checked_ns = read_number<qint64>(at);
        record.file.size = read_number<qint64>(at + 8);
        record.file.mtime_ns = read_number<qint64>(at + 16);
        record.file.ctime_ns = read_number<qint64>(at + 24);
        record.file.inode = read_number<quint64>(at + 32);
        record.file.device = read_number<quint64>(at + 40);
        const quint32 offset = read_number<quint32>(at + 48);
        const quint32 length = read_number<quint32>(at + 52);
        std::memcpy(record.digest, at + 56, sizeof record.digest);
        if (length == 0 || offset > name_units || length > name_units - offset)
            return false;
        record.name = QStringView(names + offset, qsizetype(length));
        if (find(record.name) >= 0)
            return false; // one entry per name
        records.push_back(record);
        add_to_index(int(records.size()) - 1);
    }
    return true;
}

QByteArray VerifyCache::serialised() const
{
    std::vector<int> order;
    order.reserve(records.size());
    qint64 name_units = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!records[i].removed) {
            order.push_back(int(i));
            name_units += records[i].name.size();
        }
    }
    const auto by_name = [this](int a, int b) {
        return records[size_t(a)].name.compare(records[size_t(b)].name) < 0;
    };
    if (!std::is_sorted(order.begin(), order.end(), by_name))
        std::sort(order.begin(), order.end(), by_name);

    const qint64 names_at = HEADER_SIZE + qint64(order.size()) * RECORD_SIZE;
    const qint64 total = names_at + name_units * 2 + CHECKSUM_SIZE;
    if (total > std::numeric_limits<int>::max())
        return QByteArray();
    char header[HEADER_SIZE] = {};
    std::memcpy(header, MAGIC_LINE.constData(), size_t(MAGIC_LINE.size()));
    write_number<quint32>(header + HEADER_SIZE - 8, quint32(order.size()));
    write_number<quint32>(header + HEADER_SIZE - 4, quint32(name_units));
    QByteArray data(int(total), '\0');
    char *const bytes = data.data();
    std::memcpy(bytes, header, sizeof header);
    char *at = bytes + HEADER_SIZE;
    char *name_at = bytes + names_at;
    quint32 offset = 0;
    for (int index : order) {
        const Record &record = records[size_t(index)];
        write_number<qint64>(at, record.checked_ns);
        write_number<qint64>(at + 8, record.file.size);
        write_number<qint64>(at + 16, record.file.mtime_ns);
        write_number<qint64>(at + 24, record.file.ctime_ns);
        write_number<quint64>(at + 32, record.file.inode);
        write_number<quint64>(at + 40, record.file.device);
        write_number<quint32>(at + 48, offset);
        write_number<quint32>(at + 52, quint32(record.name.size()));
        std::memcpy(at + 56, record.digest, sizeof record.digest);
        qToLittleEndian<quint16>(record.name.data(), record.name.size(), name_at);
        at += RECORD_SIZE;
        name_at += record.name.size() * 2;
        offset += quint32(record.name.size());
    }
    const int body_size = int(total) - CHECKSUM_SIZE;
    if (!sha256(bytes, size_t(body_size), reinterpret_cast<unsigned char *>(bytes + body_size)))
        return QByteArray();
    return data;
}

bool VerifyCache::save(const QString &folder) const
{
    if (!changed && !loaded_bytes.isEmpty())
        return true;
    const QByteArray data = serialised();
    if (data.isEmpty())
        return false;
    if (data == loaded_bytes)
        return true;
    const QDir dir(folder);
    const QString path = dir.filePath(file_name());
    // A plain file not written by us (a game file) is not replaced, nor is a
    // folder; an empty file holds nothing to lose. Anything else odd at the
    // name (a link, a FIFO, a device) gives way to a fresh cache.
    const QFileInfo existing(path);
    if (!existing.isSymLink() && existing.isDir())
        return false;
    QFile present;
    if (plain_file::open_for_reading(path, present) && present.size() > 0 &&
        present.read(MAGIC_PREFIX.size()) != MAGIC_PREFIX)
        return false;
    present.close();

    // The rename replaces whatever entry has the name rather than writing
    // through it.
    return atomic_file::write(path, data);
}

int VerifyCache::find(QStringView name) const
{
    if (buckets.empty())
        return -1;
    const size_t mask = buckets.size() - 1;
    for (size_t at = qHash(name) & mask;; at = (at + 1) & mask) {
        const int slot = buckets[at];
        if (slot == 0)
            return -1;
        const Record &record = records[size_t(slot - 1)];
        if (!record.removed && record.name == name)
            return slot - 1;
    }
}

VerifyCache::Entry VerifyCache::entry_at(int index) const
{
    const Record &record = records[size_t(index)];
    Entry entry;
    static_cast<FileIdentity &>(entry) = record.file;
    entry.checked_ns = record.checked_ns;
    entry.digest = digest_text_of(record.digest);
    return entry;
}

bool VerifyCache::reusable_at(int index, const Entry &now) const
{
    const Record &record = records[size_t(index)];
    return record.file.same_file(now) && long_after(record.checked_ns, record.file);
}

QString VerifyCache::digest_at(int index) const
{
    return digest_text_of(records[size_t(index)].digest);
}

void VerifyCache::insert(const QString &name, const Entry &entry)
{
    const int index = find(name);
    if (name.isEmpty() || !is_digest_text(entry.digest)) {
        if (index >= 0)
            remove_at(index);
        return;
    }
    const QByteArray digest = QByteArray::fromHex(entry.digest.toLatin1());
    Record record {};
    record.checked_ns = entry.checked_ns;
    record.file = entry;
    std::memcpy(record.digest, digest.constData(), DIGEST_SIZE);
    if (index >= 0) {
        Record &present = records[size_t(index)];
        record.name = present.name;
        if (record.checked_ns != present.checked_ns || !record.file.same_file(present.file) ||
            std::memcmp(record.digest, present.digest, sizeof record.digest) != 0) {
            present = record;
            changed = true;
        }
        return;
    }
    added_names.push_back(name);
    record.name = QStringView(added_names.back());
    records.push_back(record);
    add_to_index(int(records.size()) - 1);
    changed = true;
}

void VerifyCache::remove_at(int index)
{
    records[size_t(index)].removed = true;
    changed = true;
}

void VerifyCache::clear()
{
    for (const Record &record : records)
        changed = changed || !record.removed;
    records.clear();
    added_names.clear();
    buckets.clear();
}

void VerifyCache::add_to_index(int index)
{
    // At most half full, so that probes stay short.
    if (records.size() * 2 > buckets.size()) {
        rebuild_index(records.size());
        return;
    }
    const size_t mask = buckets.size() - 1;
    size_t at = qHash(records[size_t(index)].name) & mask;
    while (buckets[at] != 0)
        at = (at + 1) & mask;
    buckets[at] = index + 1;
}

void VerifyCache::reserve(int count)
{
    records.reserve(size_t(count));
    if (size_t(count) * 2 > buckets.size())
        rebuild_index(size_t(count));
}

void VerifyCache::rebuild_index(size_t count)
{
    size_t capacity = 16;
    while (capacity < count * 4)
        capacity *= 2;
    buckets.assign(capacity, 0);
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < records.size(); ++i) {
        size_t at = qHash(records[i].name) & mask;
        while (buckets[at] != 0)
            at = (at + 1) & mask;
        buckets[at] = int(i) + 1;
    }
}
