#include "hash_text.h"

#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QFile>
#include <QThreadStorage>

#include <openssl/evp.h>

struct HashTextDigest::Context
{
    ~Context() { EVP_MD_CTX_free(md); }
    EVP_MD_CTX *md = EVP_MD_CTX_new();
};

HashTextDigest::HashTextDigest() : context(std::make_unique<Context>())
{
    ok = context->md && EVP_DigestInit_ex(context->md, EVP_sha256(), nullptr) == 1;
}

HashTextDigest::~HashTextDigest() = default;

bool HashTextDigest::valid() const
{
    return ok;
}

void HashTextDigest::add(const char *data, std::size_t size)
{
    // SHA-256 of an empty range is well defined; EVP accepts a null pointer
    // only together with a zero length.
    ok = ok && EVP_DigestUpdate(context->md, size ? data : "", size) == 1;
}

QString HashTextDigest::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context->md, digest, &length) != 1)
        return QString();
    ok = false; // a digest ends once
    full = QString::fromStdString(digest_text_of_digest(digest));
    return full.left(HASH_TEXT_LENGTH);
}

QString hash_text(const char *data, std::size_t size)
{
    return QString::fromStdString(hash_text_of(data, size));
}

QString hash_text(const QByteArray &data)
{
    return hash_text(data.constData(), std::size_t(data.size()));
}

QString digest_text(const QByteArray &data)
{
    HashTextDigest digest;
    digest.add(data.constData(), std::size_t(data.size()));
    digest.finish();
    return digest.digest_text();
}

bool content_matches(const QString &digest, const QString &hash, const QString &sha256)
{
    if (!sha256.isEmpty())
        return digest == sha256;
    return digest.left(HASH_TEXT_LENGTH) == hash;
}

bool is_digest_text(const QString &text)
{
    if (text.size() != DIGEST_TEXT_LENGTH)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

QString file_hash_text(const QString &path)
{
    return file_digest_text(path).left(HASH_TEXT_LENGTH);
}

namespace {

// Big enough to keep system calls rare, small enough to stay in the core's
// cache between the read and the digest.
constexpr qint64 READ_BLOCK_SIZE = 256 * 1024;

// One read buffer per thread for all the files it hashes: a fresh block of
// this size per file would cost a mapping and its page faults each time.
// Kept in Qt's storage, not as a thread_local object: Qt deletes it as a
// pool thread ends, while the thread still runs normally, whereas MinGW's
// runtime destroys thread_local objects at thread exit in an order with its
// own per-thread storage that has crashed and hung pool threads.
QThreadStorage<std::vector<char> *> read_buffers;

std::vector<char> &read_buffer()
{
    if (!read_buffers.hasLocalData())
        read_buffers.setLocalData(new std::vector<char>(READ_BLOCK_SIZE));
    return *read_buffers.localData();
}

} // namespace

bool open_regular_file(QFile &file, const QString &path)
{
#ifdef Q_OS_WIN
    // Qt opens long and non-ASCII paths as they are; what it opened must
    // then be a file on a disk, not a console, pipe or other device.
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) == FILE_TYPE_DISK)
        return true;
    file.close();
    return false;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

QString read_digest_text(QFile &file)
{
    HashTextDigest digest;
    std::vector<char> &buffer = read_buffer();
    for (;;) {
        const qint64 count = file.read(buffer.data(), READ_BLOCK_SIZE);
        if (count <= 0)
            break; // the end, or a read error: the bytes read so far count
        digest.add(buffer.data(), std::size_t(count));
    }
    digest.finish();
    return digest.digest_text();
}

#ifdef Q_OS_WIN

QString file_digest_text(const QString &path)
{
    QFile file;
    if (!open_regular_file(file, path))
        return QString();
    return read_digest_text(file);
}

#else

namespace {

// What one thread needs to hash files one after another: a read buffer and
// a digest, made once, so that a small file costs little more than its
// system calls.
struct FileHashState
{
    FileHashState() : buffer(READ_BLOCK_SIZE), md(EVP_MD_CTX_new()) { }
    ~FileHashState() { EVP_MD_CTX_free(md); }
    FileHashState(const FileHashState &) = delete;
    FileHashState &operator=(const FileHashState &) = delete;

    // Starts a digest; after the first, the digest set then is started
    // again without looking the algorithm up once more.
    bool start()
    {
        if (!md)
            return false;
        started = EVP_DigestInit_ex(md, started ? nullptr : EVP_sha256(), nullptr) == 1;
        return started;
    }

    std::vector<char> buffer;
    EVP_MD_CTX *md;
    bool started = false;
};

// Each thread's state, in Qt's storage as the read buffer above.
QThreadStorage<FileHashState *> hash_states;

// Hashes the file open at fd, then closes it.
QString hash_open_file(int fd)
{
    if (fd < 0)
        return QString();
    if (!hash_states.hasLocalData())
        hash_states.setLocalData(new FileHashState);
    FileHashState &state = *hash_states.localData();
    struct stat st
    {
    };
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && state.start();
    qint64 total = 0;
    while (ok) {
        const ssize_t count = ::read(fd, state.buffer.data(), state.buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break; // the end, or a read error: the bytes read so far count
        ok = EVP_DigestUpdate(state.md, state.buffer.data(), std::size_t(count)) == 1;
        total += count;
        // A short read that reaches the size fstat gave is the end: no
        // further call needed to be told so.
        if (std::size_t(count) < state.buffer.size() && total == qint64(st.st_size))
            break;
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(state.md, digest, &length) != 1)
        return QString();
    return QString::fromLatin1(digest_text_of_digest(digest).c_str(), DIGEST_TEXT_LENGTH);
}

} // namespace

QString file_digest_text(const QString &path)
{
    return hash_open_file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

QString file_digest_text_at(int folder, const QByteArray &name)
{
    return hash_open_file(::openat(folder, name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

#endif
